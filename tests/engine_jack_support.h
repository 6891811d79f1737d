// A JACK server of the test's own (dummy backend, unique name, stopped by its
// process id) and a JACK MIDI receiver with time stamps, for the engine's
// real-MIDI test and the jitter benchmark.
#ifndef KADENZO_TESTS_ENGINE_JACK_SUPPORT_H
#define KADENZO_TESTS_ENGINE_JACK_SUPPORT_H

#include <RtMidi.h>

#include "jack_server.h"
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace engine_jack {

using jack_test::JackServer;

using SteadyClock = std::chrono::steady_clock;

struct ReceivedMessage {
    std::vector<unsigned char> bytes;
    double jack_time;  // seconds, JACK's clock at the cycle that delivered it (from the first)
};

// A JACK MIDI input port "<client>:in", polled from the caller's thread.
class Receiver {
  public:
    explicit Receiver(const std::string& client) : input_(RtMidi::UNIX_JACK, client) {
        input_.ignoreTypes(false, false, false);  // clock messages too
        input_.openVirtualPort("in");
        port_name_ = client + ":in";
    }
    const std::string& port_name() const { return port_name_; }

    // Collects messages for the given time.
    void collect_for(double seconds) {
        const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
        while (SteadyClock::now() < end) poll();
    }
    // Collects until count messages have arrived (or the time is up).
    void collect_until(size_t count, double seconds) {
        const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
        while (messages_.size() < count && SteadyClock::now() < end) poll();
    }
    const std::vector<ReceivedMessage>& messages() const { return messages_; }

  private:
    void poll() {
        std::vector<unsigned char> bytes;
        const double delta = input_.getMessage(&bytes);
        if (bytes.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            return;
        }
        time_ += messages_.empty() ? 0.0 : delta;
        messages_.push_back({bytes, time_});
    }

    RtMidiIn input_;
    std::string port_name_;
    std::vector<ReceivedMessage> messages_;
    double time_ = 0.0;
};

}  // namespace engine_jack

#endif
