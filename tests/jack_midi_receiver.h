// A JACK MIDI input port "<client>:in" through RtMidi's JACK input, polled
// from the test's own thread so that nothing of the test runs on JACK's
// threads. Messages keep the JACK time of the cycle that delivered them.
#ifndef KADENZO_TESTS_JACK_MIDI_RECEIVER_H
#define KADENZO_TESTS_JACK_MIDI_RECEIVER_H

#include <RtMidi.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace jack_test {

struct ReceivedMessage {
    std::vector<unsigned char> bytes;
    double jack_time;  // seconds from the first message received
};

class MidiReceiver {
  public:
    using Bytes = std::vector<unsigned char>;

    explicit MidiReceiver(const std::string& client) : input_(RtMidi::UNIX_JACK, client) {
        input_.ignoreTypes(false, false, false);  // clock messages too
        input_.openVirtualPort("in");
        port_name_ = client + ":in";
    }
    const std::string& port_name() const { return port_name_; }

    // Active Sensing, sent only to see that a connection carries messages;
    // not counted among the messages received.
    static constexpr unsigned char kProbe = 0xFE;
    bool probe_arrived(double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (probes_ == 0 && Clock::now() < deadline) poll();
        return probes_ > 0;
    }

    // Waits until count messages have arrived in all (or the time is up),
    // then a little longer to catch any extra ones; returns the bytes of all.
    std::vector<Bytes> wait_for(size_t count, double seconds = 3.0) {
        collect_until(count, seconds);
        collect_for(0.05);
        std::vector<Bytes> all;
        for (const ReceivedMessage& m : messages_) all.push_back(m.bytes);
        return all;
    }

    // Collects messages for the given time.
    void collect_for(double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) poll();
    }
    // Collects until count messages have arrived (or the time is up).
    void collect_until(size_t count, double seconds) {
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (messages_.size() < count && Clock::now() < end) poll();
    }
    const std::vector<ReceivedMessage>& messages() const { return messages_; }

  private:
    using Clock = std::chrono::steady_clock;

    void poll() {
        Bytes bytes;
        const double delta = input_.getMessage(&bytes);
        if (bytes.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
            return;
        }
        time_ += received_any_ ? delta : 0.0;
        received_any_ = true;
        if (bytes == Bytes{kProbe}) {
            probes_ += 1;
        } else {
            messages_.push_back({bytes, time_});
        }
    }

    RtMidiIn input_;
    std::string port_name_;
    std::vector<ReceivedMessage> messages_;
    bool received_any_ = false;
    double time_ = 0.0;
    int probes_ = 0;
};

}  // namespace jack_test

#endif
