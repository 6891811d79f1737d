#include "jack_watch.h"

#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

bool closeJackClient(jack_client_t* client, std::chrono::milliseconds patience) {
    if (!client) return true;
    // Shared with the closing thread, which may outlive this call.
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> done = closed->get_future();
    try {
        std::thread([client, closed] {
            jack_client_close(client);
            closed->set_value();
        }).detach();
    } catch (const std::system_error&) {
        jack_client_close(client);  // no thread to be had: close here
        return true;
    }
    return done.wait_for(patience) == std::future_status::ready;
}

JackServerWatch::JackServerWatch(const char* clientName) {
    jack_status_t status;
    client_ = jack_client_open(clientName, JackNoStartServer, &status);
    if (client_) jack_on_info_shutdown(client_, &JackServerWatch::onShutdown, this);
}

JackServerWatch::~JackServerWatch() {
    closeJackClient(client_);
}

std::string JackServerWatch::reason() const {
    if (!shutdown_.gone()) return std::string();
    const std::string why = shutdown_.reason();
    return why.empty() ? std::string("JACK server gone") : why;
}

void JackServerWatch::onShutdown(jack_status_t /*code*/, const char* reason, void* user) {
    static_cast<JackServerWatch*>(user)->shutdown_.record(reason);
}
