// The native JACK backend: one JACK client ("kadenzo") that takes the audio
// input and owns the MIDI output port, so that the engine clock is the
// client's own frame count and every MIDI message goes out at the exact
// frame of its time stamp.
//
// Audio: input ports in_0, in_1, ... (as many as the chosen source has
// channels), connected to a source's ports; the selected ones are mixed to
// mono and handed to the audio sink in pieces of at most 512 samples, with
// the engine time of their first sample. Frames the server skipped (a late
// cycle) go to the gap sink, so that the engine's time axis stays on the
// frame clock.
//
// Clock: engine seconds = (frame - first frame delivered) / 44100, the frame
// being JACK's frame clock extended to 64 bits. The server must run at
// 44100 Hz, the engine's rate: another rate is refused at open, and a change
// of rate while running stops delivery and is reported (problem()).
//
// MIDI: the port midi_out; messages are queued by the MIDI driver (one
// thread at a time) with their engine time and written by the process
// callback at their frame offset (midiqueue.h). The queue's writer must
// queue each message at least midi_lead_seconds() before its time (one
// period plus a timer pass and a margin); what comes later is written at the
// start of the next cycle and counted.
//
// The process callback neither allocates, locks, logs nor blocks. The
// shutdown callback only sets a flag; whoever polls server_gone() reacts on
// its own thread. All other functions belong to the application's threads.
#ifndef KADENZO_JACKCLIENT_H
#define KADENZO_JACKCLIENT_H

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jack_watch.h"
#include "midiqueue.h"

class JackEngineClient {
  public:
    enum {
        kEngineRate = 44100,
        kMaxInputs = 32,
        kPieceFrames = 512,
        kQueueCapacity = 4096,
    };

    // Mono samples of the selected inputs, in pieces of kPieceFrames (one
    // analysis hop: the engine is woken once per hop, not once per cycle;
    // a piece ends early before a gap); time_s is the engine time of the
    // first. Runs on JACK's process thread.
    typedef void (*AudioSink)(const float* mono, unsigned long frames, double time_s, void* user);
    // Frames the server skipped before the next block; time_s is the engine
    // time of the first. JACK's process thread.
    typedef void (*GapSink)(unsigned long frames, double time_s, void* user);

    // A client of the default server (JACK_DEFAULT_SERVER), never starting
    // one, active, with its MIDI output port and no audio inputs yet. Null
    // with a one-line reason (no server, another sample rate, ...).
    static std::unique_ptr<JackEngineClient> open(const char* client_name, std::string* problem);
    // Whether a JACK server runs (a client can be opened), without chatter.
    static bool server_running();
    ~JackEngineClient();
    JackEngineClient(const JackEngineClient&) = delete;
    JackEngineClient& operator=(const JackEngineClient&) = delete;

    // ---- Audio input ----
    // Another client's audio outputs, as one source: physical ones first.
    struct Source {
        std::string name;                // the client's name
        std::vector<std::string> ports;  // its audio output ports, full names
    };
    std::vector<Source> audio_sources() const;
    // Makes the inputs in_0 .. in_(count-1), connected in turn to the given
    // ports (fewer ports leave the rest unconnected), every input but in_0
    // deselected. Delivery must be stopped. False with a reason.
    bool set_inputs(const std::vector<std::string>& ports, std::string* problem);
    int input_count() const { return input_count_.load(std::memory_order_acquire); }
    void select_input(int channel, bool selected);
    bool input_selected(int channel) const;
    // Delivers every cycle from the next one on; its first frame becomes
    // engine time 0.
    void start_input(AudioSink audio, GapSink gap, void* user);
    // Stops delivery and waits until no callback is inside a sink.
    void stop_input();
    bool delivering() const { return deliver_.load(); }

    // ---- Clock ----
    // Seconds since the first frame delivered (0 before); never goes back.
    double engine_time() const;
    std::uint32_t period_frames() const { return period_.load(std::memory_order_relaxed); }
    std::uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    std::uint64_t skipped_frames() const { return skipped_.load(std::memory_order_relaxed); }
    // Cycles that began before the previous one ended (a callback run late).
    std::uint64_t overlapped_cycles() const { return overlapped_.load(std::memory_order_relaxed); }

    // ---- MIDI output ----
    // Queues a message of 1 to 3 bytes due at engine time time_s (NaN: at
    // the start of the next cycle). One thread at a time. False when the
    // queue is full (counted) or the server is gone.
    bool queue_midi(const unsigned char* bytes, int length, double time_s);
    double midi_lead_seconds() const;
    // Waits (up to max_seconds) until every queued message has been written,
    // so that a Stop queued last goes out before a disconnection.
    void flush_midi(double max_seconds);
    // Other clients' MIDI inputs, full names.
    std::vector<std::string> midi_destinations() const;
    // Connects the output to exactly this port (other connections dropped).
    bool connect_midi(const std::string& port, std::string* problem);
    void disconnect_midi();
    // Renames the output port (a port of Kadenzo's own that others connect to).
    bool rename_midi_port(const std::string& name, std::string* problem);
    std::string midi_port_name() const;
    std::uint64_t midi_written() const { return midi_written_.load(std::memory_order_relaxed); }
    std::uint64_t midi_late() const { return midi_late_.load(std::memory_order_relaxed); }
    std::uint64_t midi_overflows() const { return queue_.overflows(); }

    // ---- Health ----
    bool server_gone() const { return shutdown_.gone(); }
    // What went wrong while running, in one line; empty while all is well.
    std::string problem() const;
    jack_client_t* handle() const { return client_; }

  private:
    JackEngineClient() : queue_(kQueueCapacity) {}
    static int on_process(jack_nframes_t nframes, void* self);
    static void on_shutdown(jack_status_t code, const char* reason, void* self);
    static int on_buffer_size(jack_nframes_t nframes, void* self);
    static int on_sample_rate(jack_nframes_t rate, void* self);
    void process(jack_nframes_t nframes);
    void deliver_audio(jack_nframes_t nframes, std::int64_t cycle);
    void deliver_piece(AudioSink audio, void* user);
    std::int64_t frame_now() const;

    jack_client_t* client_ = nullptr;
    jack_port_t* midi_out_ = nullptr;
    jack_port_t* inputs_[kMaxInputs] = {};
    std::atomic<int> input_count_{0};
    std::atomic<unsigned char> selected_[kMaxInputs] = {};
    float mono_[kPieceFrames] = {};
    int piece_fill_ = 0;               // callback only: frames of mono_ filled
    std::int64_t piece_start_ = 0;     // callback only: the frame of mono_[0]

    // Delivery, and the handshake that lets stop_input wait for the callback.
    std::atomic<bool> deliver_{false};
    std::atomic<int> inside_{0};
    std::atomic<AudioSink> audio_sink_{nullptr};
    std::atomic<GapSink> gap_sink_{nullptr};
    std::atomic<void*> sink_user_{nullptr};
    std::atomic<bool> restart_origin_{false};

    // The 64-bit frame clock: the frame of the last cycle's start, and the
    // engine's frame 0 (kNoFrame until the first delivered cycle).
    static constexpr std::int64_t kNoFrame = INT64_MIN;
    std::atomic<std::int64_t> cycle_frame_{kNoFrame};
    std::atomic<std::int64_t> origin_{kNoFrame};
    mutable std::atomic<double> last_time_{0.0};
    std::int64_t next_expected_ = kNoFrame;  // callback only: where the next cycle should start
    bool delivered_last_ = false;            // callback only
    std::atomic<std::uint32_t> period_{0};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> skipped_{0};
    std::atomic<std::uint64_t> overlapped_{0};

    MidiQueue queue_;
    std::atomic<std::uint64_t> midi_written_{0};
    std::atomic<std::uint64_t> midi_late_{0};

    JackShutdownRecord shutdown_;
    std::atomic<std::uint32_t> wrong_rate_{0};  // the server's new rate, 0 while it is right
};

#endif
