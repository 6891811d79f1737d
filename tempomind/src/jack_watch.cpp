#include "jack_watch.h"

#include <cstring>

JackServerWatch::JackServerWatch(const char* clientName) {
    jack_status_t status;
    client_ = jack_client_open(clientName, JackNoStartServer, &status);
    if (client_) jack_on_info_shutdown(client_, &JackServerWatch::onShutdown, this);
}

JackServerWatch::~JackServerWatch() {
    if (client_) jack_client_close(client_);
}

std::string JackServerWatch::reason() const {
    if (!shutdown_.gone()) return std::string();
    const std::string why = shutdown_.reason();
    return why.empty() ? std::string("JACK server gone") : why;
}

void JackServerWatch::onShutdown(jack_status_t /*code*/, const char* reason, void* user) {
    static_cast<JackServerWatch*>(user)->shutdown_.record(reason);
}
