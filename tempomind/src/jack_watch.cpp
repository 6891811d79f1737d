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
    if (!gone_.load(std::memory_order_acquire)) return std::string();
    return reason_[0] ? std::string(reason_) : std::string("JACK server gone");
}

void JackServerWatch::onShutdown(jack_status_t /*code*/, const char* reason, void* user) {
    auto* watch = static_cast<JackServerWatch*>(user);
    // Plain copying only: this runs in the manner of a signal handler.
    if (reason) {
        std::size_t n = 0;
        while (reason[n] && n + 1 < sizeof watch->reason_) {
            watch->reason_[n] = reason[n];
            ++n;
        }
        watch->reason_[n] = '\0';
    }
    watch->gone_.store(true, std::memory_order_release);
}
