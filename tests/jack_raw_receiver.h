// A MIDI receiver for timing tests: a JACK client of its own whose process
// callback stores every event with its frame on the server's frame clock
// (the cycle's first frame plus the event's offset), which RtMidi's JACK
// input cannot see. Events go into a fixed array: the callback neither
// allocates nor locks.
#ifndef KADENZO_TESTS_JACK_RAW_RECEIVER_H
#define KADENZO_TESTS_JACK_RAW_RECEIVER_H

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "jack_watch.h"

namespace jack_test {

struct RawEvent {
    std::uint32_t frame = 0;  // JACK's 32-bit frame clock
    std::uint8_t size = 0;
    std::uint8_t bytes[3] = {0, 0, 0};
};

class RawMidiReceiver {
  public:
    enum { kCapacity = 1 << 16 };

    explicit RawMidiReceiver(const std::string& name) : events_(kCapacity) {
        jack_status_t status;
        client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
        if (!client_) return;
        port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &RawMidiReceiver::on_process, this);
        jack_set_xrun_callback(client_, &RawMidiReceiver::on_xrun, this);
        if (!port_ || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~RawMidiReceiver() {
        closeJackClient(client_);
    }
    RawMidiReceiver(const RawMidiReceiver&) = delete;
    RawMidiReceiver& operator=(const RawMidiReceiver&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::string port_name() const { return client_ ? jack_port_name(port_) : std::string(); }
    jack_client_t* client() const { return client_; }

    // Connects a sender's output port to this receiver.
    bool connect_from(const std::string& output) {
        return client_ && jack_connect(client_, output.c_str(), jack_port_name(port_)) == 0;
    }
    bool disconnect_from(const std::string& output) {
        return client_ && jack_disconnect(client_, output.c_str(), jack_port_name(port_)) == 0;
    }

    // Cycles the server reported as overrun (a busy machine): events of
    // such a cycle may come a period off or not at all.
    int xruns() const { return xruns_.load(); }

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    // The events received so far (those the callback has published).
    std::vector<RawEvent> events() const {
        const std::size_t n = count();
        return std::vector<RawEvent>(events_.begin(), events_.begin() + n);
    }
    // Waits up to the given time for at least n events.
    bool wait_for(std::size_t n, double seconds) const {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (count() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

  private:
    static int on_xrun(void* self) {
        static_cast<RawMidiReceiver*>(self)->xruns_.fetch_add(1);
        return 0;
    }
    static int on_process(jack_nframes_t nframes, void* self) {
        auto* receiver = static_cast<RawMidiReceiver*>(self);
        void* buffer = jack_port_get_buffer(receiver->port_, nframes);
        const jack_nframes_t start = jack_last_frame_time(receiver->client_);
        const std::uint32_t events = jack_midi_get_event_count(buffer);
        std::size_t n = receiver->count_.load(std::memory_order_relaxed);
        for (std::uint32_t i = 0; i < events && n < receiver->events_.size(); ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0) continue;
            RawEvent& out = receiver->events_[n++];
            out.frame = start + event.time;
            out.size = static_cast<std::uint8_t>(event.size < 3 ? event.size : 3);
            for (std::uint8_t b = 0; b < out.size; ++b) out.bytes[b] = event.buffer[b];
        }
        receiver->count_.store(n, std::memory_order_release);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::vector<RawEvent> events_;
    std::atomic<std::size_t> count_{0};
    std::atomic<int> xruns_{0};
};

}  // namespace jack_test

#endif
