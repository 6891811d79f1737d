// OSC output: the clock's beats, bars, tempo, phases and Start/Stop as UDP
// OSC messages, for lighting and video software. Every message travels alone
// in a bundle time-tagged with the moment it belongs to in the music, and
// leaves the anti-delay ahead of it: a receiver that honours time tags acts
// exactly on time (given agreeing wall clocks and an anti-delay longer than
// the network's delay), one that acts on arrival acts the anti-delay early.
// With the default prefix:
//   /kadenzo/beat   i i f  place in the bar (1 = bar start), beats per bar, BPM
//                          on every beat of the running clock
//   /kadenzo/bar    i      bars since the clock started (the first is 1), on
//                          every bar start of the running clock
//   /kadenzo/tempo  f      BPM, when it moves by more than 0.1 BPM and once a
//                          second while the clock runs
//   /kadenzo/phase  f f    bar and beat phase (0 ... 1), 30 times a second
//                          while the clock runs
//   /kadenzo/clock  s      "start" or "stop", with the clock's Start and Stop
// UDP loses, repeats and reorders without a word, so every message carries
// absolute state (the place in the bar, the bar count, the tempo, the phase).
//
// Three parts: the encoder (sink events to messages, no I/O), the sink that
// sends them (liblo, on a thread of its own), and a sink that writes them to
// a text file instead (offline rendering).
#ifndef KADENZO_OSCSINK_H
#define KADENZO_OSCSINK_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outputsink.h"

const char* const OSC_DEFAULT_PREFIX = "/kadenzo";

// One argument of a message: 'i' (int32), 'f' (float32) or 's' (string).
struct osc_argument {
    char type = 'i';
    std::int32_t i = 0;
    float f = 0.0f;
    std::string s;
};

struct osc_message {
    double time = 0.0;       // the time tag, seconds on the engine clock
    double send_time = 0.0;  // when it leaves: the time tag less the anti-delay
    std::string path;
    std::vector<osc_argument> arguments;
    std::string types() const;  // "iif"
};

// Turns the sink events into the messages above. Not thread-safe.
class osc_encoder {
  public:
    // A prefix such as "/kadenzo": a slash and more, no trailing slash.
    explicit osc_encoder(std::string prefix = OSC_DEFAULT_PREFIX);
    // Appends the messages of one event to out, in the order they are sent.
    void encode(const sink_event& event, std::vector<osc_message>* out);
    const std::string& prefix() const { return prefix_; }

  private:
    void tempo_if_due(const sink_event& event, std::vector<osc_message>* out);

    std::string prefix_;
    int bars = 0;  // since the clock started
    bool tempo_sent = false;
    double tempo_bpm = 0.0;
    double tempo_time = 0.0;
};

// Whether a prefix is acceptable (see osc_encoder), and the rule in words
// for the user ("must start with '/', ...").
bool osc_prefix_valid(const std::string& prefix);
extern const char* const OSC_PREFIX_RULE;

// "HOST:PORT" ("127.0.0.1:9000", "[::1]:9000", "console.local:8000") into its
// parts; false, with a reason, for anything else.
bool osc_parse_target(const std::string& text, std::string* host, std::string* port,
                      std::string* error);

// What the sending sink has done so far.
struct osc_sink_counts {
    std::uint64_t sent = 0;     // bundles handed to the network
    std::uint64_t failed = 0;   // sends that failed (no route, refused...)
    std::uint64_t dropped = 0;  // events lost to a full queue
};

// Sends the messages to one UDP target from a thread of its own; the
// target and prefix can change while it runs.
class osc_sink : public output_sink {
  public:
    osc_sink();
    ~osc_sink() override;
    osc_sink(const osc_sink&) = delete;
    osc_sink& operator=(const osc_sink&) = delete;

    // A new target ("HOST:PORT", see osc_parse_target) and prefix; an empty
    // target stops sending. False (with a reason) when either is not valid;
    // the sink then goes on as before.
    bool configure(const std::string& target, const std::string& prefix, std::string* error);
    // The target in use ("" when off).
    std::string target() const;
    osc_sink_counts counts() const;

    void post(const sink_event& event) override;

  private:
    void run();

    sink_queue queue_;
    mutable std::mutex config_lock_;  // app thread and OSC thread
    std::string host_, port_, prefix_ = OSC_DEFAULT_PREFIX;
    unsigned config_version_ = 0;
    std::atomic<bool> enabled_{false};
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> failed_{0};
    std::thread thread_;
};

// Writes the messages, one a line, to a text file (offline rendering):
// "TIME<TAB>SENT<TAB>PATH<TAB>TYPES<TAB>ARGUMENTS...", the times in seconds on
// the engine clock with six decimals (TIME: the time tag, SENT: when it
// would leave), floats with three decimals. It writes on the posting thread:
// only for a ticker driven by hand.
class osc_log_sink : public output_sink {
  public:
    osc_log_sink(std::FILE* out, std::string prefix = OSC_DEFAULT_PREFIX);
    void post(const sink_event& event) override;
    std::uint64_t written() const { return written_; }

  private:
    std::FILE* out_;
    osc_encoder encoder_;
    std::vector<osc_message> scratch_;
    std::uint64_t written_ = 0;
};

// One line of the log above, without its newline.
std::string osc_log_line(const osc_message& message);

#endif
