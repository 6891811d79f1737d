// Helpers for the tests of the live audio path: a JACK client of the test
// that plays audio into the program's input ports, records the MIDI that
// comes back and sends MIDI at given frames (a performer's foot controller),
// all on JACK's frame clock (the server and the child processes come from
// jack_server.h).
#ifndef KADENZO_TESTS_LIVE_TEST_SUPPORT_H
#define KADENZO_TESTS_LIVE_TEST_SUPPORT_H

#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "jack_watch.h"

namespace livetest {

using Clock = std::chrono::steady_clock;

// Polls the facade as the window's timer does (every 30 ms), for the given time.
template <typename Facade>
void pollLikeTheWindow(Facade& facade, int milliseconds) {
    const auto end = Clock::now() + std::chrono::milliseconds(milliseconds);
    while (Clock::now() < end) {
        facade.updateOutputs();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
}
using jack_test::JackServer;

// One MIDI message as the test client received it.
struct MidiEvent {
    std::uint64_t frame;  // JACK frame clock
    int size;
    std::array<unsigned char, 3> bytes;
};

// A JACK client of the test: audio output ports that play buffers given by
// the test (one per port, all starting in the same cycle), a MIDI input
// that records every message with its frame time, and a MIDI output that
// sends messages the test scheduled at their frames. The process callback
// neither allocates nor locks.
class TestClient {
  public:
    TestClient(const std::string& name, int audioPorts, bool midiInput, bool midiOutput = false) {
        client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
        if (!client_) return;
        for (int i = 0; i < audioPorts; ++i) {
            const std::string port = "out_" + std::to_string(i);
            outputs_.push_back(jack_port_register(client_, port.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                  JackPortIsOutput, 0));
        }
        if (midiInput) {
            midiIn_ =
                jack_port_register(client_, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        }
        if (midiOutput) {
            midiOut_ = jack_port_register(client_, "midi_out", JACK_DEFAULT_MIDI_TYPE,
                                          JackPortIsOutput, 0);
        }
        outgoing_.resize(kMaxOutgoing);
        events_.resize(kMaxEvents);
        cyclePositions_.resize(kMaxCycles);
        cycleFrames_.resize(kMaxCycles);
        jack_set_process_callback(client_, &TestClient::process, this);
        if (jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~TestClient() {
        if (client_) {
            jack_deactivate(client_);
            closeJackClient(client_);
        }
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool ok() const { return client_ != nullptr; }
    std::string fullName(const std::string& port) const {
        return std::string(jack_get_client_name(client_)) + ":" + port;
    }
    jack_client_t* client() const { return client_; }

    // Sets what each output port plays and starts playing at the next cycle;
    // call while not playing. A port given no buffer plays silence.
    void play(std::vector<std::vector<float>> buffers) {
        buffers_ = std::move(buffers);
        length_ = 0;
        for (const auto& b : buffers_) length_ = std::max(length_, b.size());
        position_.store(0);
        playing_.store(true);
    }
    // Plays a constant value on every port for ever (until stop()).
    void playConstant(std::vector<float> values) {
        constants_ = std::move(values);
        constant_.store(true);
    }
    void stop() {
        playing_.store(false);
        constant_.store(false);
    }
    bool finished() const { return !playing_.load() && startFrame_.load() != kNoFrame; }
    // Frame time of the first sample played; kNoFrame before.
    std::uint64_t startFrame() const { return startFrame_.load(); }
    static constexpr std::uint64_t kNoFrame = ~std::uint64_t(0);

    // Frame time at which a sample of the played buffers went out (JACK's
    // frame clock may jump when a cycle is late, so this is looked up in
    // the cycles actually played); kNoFrame when it was not played.
    std::uint64_t frameOfSample(std::size_t sample) const {
        const std::size_t cycles = cycleCount_.load();
        for (std::size_t c = cycles; c-- > 0;) {
            if (cyclePositions_[c] <= sample) {
                return cycleFrames_[c] + (sample - cyclePositions_[c]);
            }
        }
        return kNoFrame;
    }
    // The inverse: the position in the played buffers (in samples, with
    // fraction) that was going out at a frame time. Frames JACK skipped
    // (the music paused) map to the end of the cycle before them.
    double sampleAtFrame(std::uint64_t frame) const {
        const std::size_t cycles = cycleCount_.load();
        if (cycles == 0 || frame < cycleFrames_[0]) return -1.0;
        std::size_t low = 0, high = cycles;  // last cycle starting at or before frame
        while (high - low > 1) {
            const std::size_t mid = (low + high) / 2;
            (cycleFrames_[mid] <= frame ? low : high) = mid;
        }
        const std::uint64_t length =
            low + 1 < cycles ? cyclePositions_[low + 1] - cyclePositions_[low] : 128;
        return static_cast<double>(cyclePositions_[low]) +
               static_cast<double>(std::min<std::uint64_t>(frame - cycleFrames_[low], length));
    }
    // Frames JACK skipped while playing (late cycles on a busy machine).
    std::uint64_t skippedFrames() const {
        const std::size_t cycles = cycleCount_.load();
        std::uint64_t skipped = 0;
        for (std::size_t c = 1; c < cycles; ++c) {
            skipped += (cycleFrames_[c] - cycleFrames_[c - 1]) -
                       (cyclePositions_[c] - cyclePositions_[c - 1]);
        }
        return skipped;
    }
    // Prints the frames JACK skipped while playing and returns their number.
    std::uint64_t printSkips() const {
        const std::uint64_t frames = skippedFrames();
        std::printf("JACK skipped %llu frames (%d times) while playing\n",
                    static_cast<unsigned long long>(frames), skippedCycles());
        return frames;
    }
    // Cycles whose start lay more than one period after the previous one's
    // while playing: JACK skipped frames.
    int skippedCycles() const {
        const std::size_t cycles = cycleCount_.load();
        int skipped = 0;
        for (std::size_t c = 1; c < cycles; ++c) {
            const std::uint64_t step = cycleFrames_[c] - cycleFrames_[c - 1];
            if (step != cyclePositions_[c] - cyclePositions_[c - 1]) ++skipped;
        }
        return skipped;
    }

    // Schedules a message of up to 3 bytes at a frame of JACK's clock (one
    // already past goes out in the next cycle); messages go out in the order
    // scheduled, which must be the order of their frames. False when full.
    bool sendMidiAt(std::uint64_t frame, std::vector<unsigned char> bytes) {
        const std::size_t count = outgoingCount_.load();
        if (count >= kMaxOutgoing || bytes.empty() || bytes.size() > 3) return false;
        MidiEvent& e = outgoing_[count];
        e.frame = frame;
        e.size = static_cast<int>(bytes.size());
        e.bytes = {0, 0, 0};
        std::copy(bytes.begin(), bytes.end(), e.bytes.begin());
        outgoingCount_.store(count + 1);
        return true;
    }
    // Messages of sendMidiAt that have gone out.
    std::size_t midiSent() const { return outgoingSent_.load(); }

    std::vector<MidiEvent> midiEvents() const {
        const std::size_t count = eventCount_.load();
        return std::vector<MidiEvent>(events_.begin(), events_.begin() + count);
    }
    jack_nframes_t sampleRate() const { return jack_get_sample_rate(client_); }
    std::uint64_t frameTime() const { return jack_frame_time(client_); }

    // Connects two ports by name; true when connected (or already so).
    bool connect(const std::string& from, const std::string& to) {
        const int result = jack_connect(client_, from.c_str(), to.c_str());
        return result == 0 || result == EEXIST;
    }
    void disconnect(const std::string& from, const std::string& to) {
        jack_disconnect(client_, from.c_str(), to.c_str());
    }
    // Names of the ports matching a regular expression (JACK's own matching).
    std::vector<std::string> ports(const std::string& pattern, unsigned long flags = 0) const {
        std::vector<std::string> names;
        const char** found = jack_get_ports(client_, pattern.c_str(), nullptr, flags);
        for (int i = 0; found && found[i]; ++i) names.emplace_back(found[i]);
        if (found) jack_free(found);
        return names;
    }

  private:
    static constexpr std::size_t kMaxEvents = 200000;
    static constexpr std::size_t kMaxOutgoing = 256;
    static constexpr std::size_t kMaxCycles = 1 << 16;  // 190 s at 128 frames

    // The output ports' buffers of this cycle (named for the race
    // detector's suppressions: the reading client is ordered after this by
    // the server, through shared memory).
    void writeAudioOutputs(jack_nframes_t frames, bool constant, bool playing,
                           std::size_t position) {
        for (std::size_t p = 0; p < outputs_.size(); ++p) {
            auto* out = static_cast<float*>(jack_port_get_buffer(outputs_[p], frames));
            for (jack_nframes_t i = 0; i < frames; ++i) {
                float value = 0.0f;
                if (constant) {
                    value = p < constants_.size() ? constants_[p] : 0.0f;
                } else if (playing && p < buffers_.size() && position + i < buffers_[p].size()) {
                    value = buffers_[p][position + i];
                }
                out[i] = value;
            }
        }
    }
    static int process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<TestClient*>(arg);
        const std::uint64_t cycleStart = jack_last_frame_time(self->client_);
        const bool playing = self->playing_.load();
        const bool constant = self->constant_.load();
        std::size_t position = self->position_.load();
        if (playing && position == 0 && self->startFrame_.load() == kNoFrame) {
            self->startFrame_.store(cycleStart);
        }
        self->writeAudioOutputs(frames, constant, playing, position);
        if (playing) {
            const std::size_t cycle = self->cycleCount_.load();
            if (cycle < kMaxCycles) {
                self->cyclePositions_[cycle] = position;
                self->cycleFrames_[cycle] = cycleStart;
                self->cycleCount_.store(cycle + 1);
            }
            position += frames;
            self->position_.store(position);
            if (position >= self->length_) self->playing_.store(false);
        }
        if (self->midiOut_) {
            void* buffer = jack_port_get_buffer(self->midiOut_, frames);
            jack_midi_clear_buffer(buffer);
            const std::size_t scheduled = self->outgoingCount_.load();
            std::size_t sent = self->outgoingSent_.load();
            jack_nframes_t last = 0;
            for (; sent < scheduled; ++sent) {
                const MidiEvent& e = self->outgoing_[sent];
                if (e.frame >= cycleStart + frames) break;
                jack_nframes_t offset =
                    e.frame > cycleStart ? static_cast<jack_nframes_t>(e.frame - cycleStart) : 0;
                offset = std::max(offset, last);
                if (jack_midi_event_write(buffer, offset, e.bytes.data(),
                                          static_cast<size_t>(e.size)) != 0) {
                    break;
                }
                last = offset;
            }
            self->outgoingSent_.store(sent);
        }
        if (self->midiIn_) {
            void* buffer = jack_port_get_buffer(self->midiIn_, frames);
            const jack_nframes_t count = jack_midi_get_event_count(buffer);
            std::size_t stored = self->eventCount_.load();
            for (jack_nframes_t e = 0; e < count && stored < kMaxEvents; ++e) {
                jack_midi_event_t event;
                if (jack_midi_event_get(&event, buffer, e) != 0) continue;
                MidiEvent& record = self->events_[stored];
                record.frame = cycleStart + event.time;
                record.size = static_cast<int>(std::min<size_t>(event.size, 3));
                record.bytes = {0, 0, 0};
                std::memcpy(record.bytes.data(), event.buffer, record.size);
                ++stored;
            }
            self->eventCount_.store(stored);
        }
        return 0;
    }

    jack_client_t* client_ = nullptr;
    std::vector<jack_port_t*> outputs_;
    jack_port_t* midiIn_ = nullptr;
    jack_port_t* midiOut_ = nullptr;
    std::vector<MidiEvent> outgoing_;
    std::atomic<std::size_t> outgoingCount_{0};
    std::atomic<std::size_t> outgoingSent_{0};
    std::vector<std::vector<float>> buffers_;
    std::size_t length_ = 0;
    std::vector<float> constants_;
    std::atomic<bool> playing_{false};
    std::atomic<bool> constant_{false};
    std::atomic<std::size_t> position_{0};
    std::atomic<std::uint64_t> startFrame_{kNoFrame};
    std::vector<std::size_t> cyclePositions_;
    std::vector<std::uint64_t> cycleFrames_;
    std::atomic<std::size_t> cycleCount_{0};
    std::vector<MidiEvent> events_;
    std::atomic<std::size_t> eventCount_{0};
};

// Waits until the condition holds or the time is up; the condition's last value.
template <typename Condition>
bool waitUntil(Condition&& condition, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace livetest

#endif
