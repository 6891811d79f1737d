// The OSC output: the messages a render writes to its OSC log, checked
// against the MIDI clock of the same render (every beat once, at the time of
// the clock's beat), the command line around it, and the live sink sending
// time-tagged bundles to a liblo receiver on 127.0.0.1.
#include <gtest/gtest.h>
#include <lo/lo.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "oscsink.h"
#include "render.h"
#include "synthetic_drums.h"

namespace {

struct LogLine {
    double time = 0.0;  // time tag
    double sent = 0.0;
    std::string path, types;
    std::vector<std::string> args;
    int arg_int(std::size_t i) const { return std::stoi(args.at(i)); }
    double arg_float(std::size_t i) const { return std::stod(args.at(i)); }
};

std::vector<LogLine> parse_log(std::FILE* file) {
    std::rewind(file);
    std::vector<LogLine> lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file)) {
        std::string text(buffer);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::vector<std::string> fields;
        std::stringstream in(text);
        std::string field;
        while (std::getline(in, field, '\t')) fields.push_back(field);
        EXPECT_GE(fields.size(), 4u) << text;
        if (fields.size() < 4) continue;
        LogLine line;
        line.time = std::stod(fields[0]);
        line.sent = std::stod(fields[1]);
        line.path = fields[2];
        line.types = fields[3];
        line.args.assign(fields.begin() + 4, fields.end());
        EXPECT_EQ(line.args.size(), line.types.size()) << text;
        lines.push_back(line);
    }
    return lines;
}

struct Rendered {
    RenderOutcome outcome;
    std::vector<LogLine> log;
};

Rendered render_with_osc(double bpm, int beats_per_bar, double anti_delay,
                         const std::string& prefix = OSC_DEFAULT_PREFIX, double seconds = 30.0) {
    synth::DrumPattern pattern;
    pattern.bpm = bpm;
    pattern.beatsPerBar = beats_per_bar;
    pattern.seconds = seconds;
    const synth::Music music = synth::drums(pattern);
    std::FILE* file = std::tmpfile();
    Rendered r;
    if (!file) return r;
    osc_log_sink sink(file, prefix);
    RenderSettings settings;
    settings.anti_delay = anti_delay;
    settings.sinks.push_back(&sink);
    r.outcome =
        render_engine(std::vector<float>(music.samples.begin(), music.samples.end()), settings);
    std::fflush(file);
    r.log = parse_log(file);
    std::fclose(file);
    return r;
}

// The beats of the MIDI clock: Start's Clock and every 24th after it, as the
// clock's time stamps (when they are played).
std::vector<double> midi_beats(const RenderOutcome& outcome) {
    std::vector<double> beats;
    long clocks = -1;
    for (const midioutput_record& r : outcome.messages) {
        if (r.bytes.empty()) continue;
        if (r.bytes[0] == 0xFA) clocks = 0;
        if (r.bytes[0] == 0xFC) clocks = -1;
        if (r.bytes[0] == 0xF8 && clocks >= 0) {
            if (clocks % 24 == 0) beats.push_back(r.time);
            ++clocks;
        }
    }
    return beats;
}

std::vector<LogLine> with_path(const std::vector<LogLine>& log, const std::string& path) {
    std::vector<LogLine> out;
    for (const LogLine& l : log) {
        if (l.path == path) out.push_back(l);
    }
    return out;
}

struct Meter {
    double bpm;
    int beats_per_bar;
    double anti_delay;
};

class OscRenderLog : public testing::TestWithParam<Meter> {};

TEST_P(OscRenderLog, EveryBeatOfTheMidiClockOnceAtItsTime) {
    const Meter m = GetParam();
    const Rendered r = render_with_osc(m.bpm, m.beats_per_bar, m.anti_delay);
    ASSERT_TRUE(r.outcome.ok) << r.outcome.error;
    const std::vector<double> clock = midi_beats(r.outcome);
    const std::vector<LogLine> beats = with_path(r.log, "/kadenzo/beat");
    ASSERT_GT(clock.size(), 20u);
    ASSERT_EQ(beats.size(), clock.size()) << "one beat message per beat of the MIDI clock";
    for (std::size_t i = 0; i < beats.size(); ++i) {
        const LogLine& b = beats[i];
        EXPECT_EQ(b.types, "iif");
        // Sent when the MIDI clock plays the beat, time-tagged with the
        // moment it sounds.
        EXPECT_NEAR(b.sent, clock[i], 0.002) << "beat " << i;
        EXPECT_NEAR(b.time - b.sent, m.anti_delay, 1e-5) << "beat " << i;
        const int per_bar = b.arg_int(1);
        EXPECT_GE(b.arg_int(0), 1);
        EXPECT_LE(b.arg_int(0), per_bar);
        if (i > 0) {
            const int expected = beats[i - 1].arg_int(0) % beats[i - 1].arg_int(1) + 1;
            if (b.arg_int(0) != 1) {
                EXPECT_EQ(b.arg_int(0), expected) << "beat " << i;
            }
            const double interval = b.time - beats[i - 1].time;
            EXPECT_NEAR(60.0 / interval, b.arg_float(2), 0.03 * b.arg_float(2)) << "beat " << i;
        }
    }
    // Once locked: the music's tempo, or its double or half.
    const double bpm = beats.back().arg_float(2);
    double best = 1e9;
    for (double f : {0.5, 1.0, 2.0}) best = std::min(best, std::fabs(bpm / (m.bpm * f) - 1.0));
    EXPECT_LT(best, 0.01) << "tempo " << bpm;
}

TEST_P(OscRenderLog, BarsCountFromTheStartOnTheBarsFirstBeats) {
    const Meter m = GetParam();
    const Rendered r = render_with_osc(m.bpm, m.beats_per_bar, m.anti_delay);
    ASSERT_TRUE(r.outcome.ok) << r.outcome.error;
    int bars = 0;
    bool bar_pending = false;
    double bar_time = -1.0;
    for (const LogLine& l : r.log) {
        if (l.path == "/kadenzo/bar") {
            EXPECT_EQ(l.types, "i");
            EXPECT_EQ(l.arg_int(0), ++bars);
            bar_pending = true;
            bar_time = l.time;
        } else if (l.path == "/kadenzo/beat") {
            // A bar message comes right before the first beat of its bar.
            EXPECT_EQ(l.arg_int(0) == 1, bar_pending) << "beat at " << l.time;
            if (bar_pending) {
                EXPECT_DOUBLE_EQ(l.time, bar_time);
            }
            bar_pending = false;
        }
    }
    EXPECT_GT(bars, 3);
}

TEST_P(OscRenderLog, PhasesThirtyTimesASecondInStepWithTheBeats) {
    const Meter m = GetParam();
    const Rendered r = render_with_osc(m.bpm, m.beats_per_bar, m.anti_delay);
    ASSERT_TRUE(r.outcome.ok) << r.outcome.error;
    const std::vector<LogLine> phases = with_path(r.log, "/kadenzo/phase");
    const std::vector<LogLine> beats = with_path(r.log, "/kadenzo/beat");
    ASSERT_GT(phases.size(), 300u);
    for (std::size_t i = 1; i < phases.size(); ++i) {
        EXPECT_NEAR(phases[i].time - phases[i - 1].time, 1.0 / 30.0, 1e-5)
            << "phase at " << phases[i].time;
    }
    // Between two beat messages the beat phase runs from 0 to 1 with the
    // time, and between two bar messages the bar phase does (a bar that
    // the tracker shortens to move its bar line is shorter in both).
    const std::vector<LogLine> bars = with_path(r.log, "/kadenzo/bar");
    const auto fraction_between = [](const std::vector<LogLine>& marks, double t, double* out) {
        const auto next = std::upper_bound(marks.begin(), marks.end(), t,
                                           [](double x, const LogLine& m) { return x < m.time; });
        if (next == marks.begin() || next == marks.end()) return false;
        *out = (t - (next - 1)->time) / (next->time - (next - 1)->time);
        return true;
    };
    const auto circular = [](double a, double b) {
        const double d = std::fabs(a - b);
        return std::min(d, 1.0 - d);
    };
    int checked = 0;
    for (const LogLine& p : phases) {
        EXPECT_EQ(p.types, "ff");
        double beat = 0.0, bar = 0.0;
        if (!fraction_between(beats, p.time, &beat) || !fraction_between(bars, p.time, &bar))
            continue;
        EXPECT_LT(circular(p.arg_float(1), beat), 0.03) << "beat phase at " << p.time;
        EXPECT_LT(circular(p.arg_float(0), bar), 0.01) << "bar phase at " << p.time;
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

TEST_P(OscRenderLog, TempoOnChangeAndOnceASecondAndStartStopWithTheMidiClock) {
    const Meter m = GetParam();
    const Rendered r = render_with_osc(m.bpm, m.beats_per_bar, m.anti_delay);
    ASSERT_TRUE(r.outcome.ok) << r.outcome.error;
    ASSERT_GT(r.log.size(), 10u);
    EXPECT_EQ(r.log.front().path, "/kadenzo/clock");
    EXPECT_EQ(r.log.front().args, std::vector<std::string>{"start"});
    EXPECT_EQ(r.log.back().path, "/kadenzo/clock");
    EXPECT_EQ(r.log.back().args, std::vector<std::string>{"stop"});
    EXPECT_EQ(with_path(r.log, "/kadenzo/clock").size(), 2u);
    double start = -1, stop = -1;
    for (const midioutput_record& rec : r.outcome.messages) {
        if (rec.bytes == std::vector<unsigned char>{0xFA}) start = rec.time;
        if (rec.bytes == std::vector<unsigned char>{0xFC}) stop = rec.time;
    }
    EXPECT_NEAR(r.log.front().sent, start, 0.002);
    EXPECT_NEAR(r.log.back().sent, stop, 0.002);

    const std::vector<LogLine> tempi = with_path(r.log, "/kadenzo/tempo");
    ASSERT_FALSE(tempi.empty());
    EXPECT_DOUBLE_EQ(tempi.front().time, r.log.front().time) << "the tempo with Start";
    // Once a second: with the first event (a beat or a phase, 30 a
    // second) a second after the last.
    const double repeat = 1.0 + 1.0 / 30.0 + 0.002;
    for (std::size_t i = 1; i < tempi.size(); ++i) {
        EXPECT_EQ(tempi[i].types, "f");
        EXPECT_LE(tempi[i].time - tempi[i - 1].time, repeat) << "at " << tempi[i].time;
    }
    EXPECT_GT(r.log.back().time - tempi.back().time, -1e-9);
    EXPECT_LE(r.log.back().time - tempi.back().time, repeat);
    // Every beat's tempo differs by at most 0.1 BPM from the last tempo message.
    double last = tempi.front().arg_float(0);
    for (const LogLine& l : r.log) {
        if (l.path == "/kadenzo/tempo") last = l.arg_float(0);
        if (l.path == "/kadenzo/beat") {
            EXPECT_LE(std::fabs(l.arg_float(2) - last), 0.1 + 0.002);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Meters, OscRenderLog,
                         testing::Values(Meter{120.0, 4, 0.0}, Meter{97.0, 4, 0.03},
                                         Meter{150.0, 3, 0.015}),
                         [](const testing::TestParamInfo<Meter>& info) {
                             const Meter& m = info.param;
                             return std::to_string(static_cast<int>(m.bpm)) + "bpm_" +
                                    std::to_string(m.beats_per_bar) + "perbar_" +
                                    std::to_string(std::lround(m.anti_delay * 1000)) + "ms_ahead";
                         });

TEST(OscRenderLog, ThePrefixNamesEveryAddress) {
    const Rendered r = render_with_osc(120.0, 4, 0.0, "/rig/tempo-2", 12.0);
    ASSERT_TRUE(r.outcome.ok);
    ASSERT_FALSE(r.log.empty());
    std::map<std::string, int> paths;
    for (const LogLine& l : r.log) ++paths[l.path];
    for (const auto& [path, count] : paths) {
        EXPECT_EQ(path.rfind("/rig/tempo-2/", 0), 0u) << path;
    }
    for (const char* name : {"beat", "bar", "tempo", "phase", "clock"}) {
        EXPECT_GT(paths[std::string("/rig/tempo-2/") + name], 0) << name;
    }
}

TEST(OscAddressing, PrefixesAndTargets) {
    struct Prefix {
        const char* text;
        bool ok;
    };
    for (const Prefix& p :
         {Prefix{"/kadenzo", true}, Prefix{"/a/b", true}, Prefix{"/", false}, Prefix{"", false},
          Prefix{"kadenzo", false}, Prefix{"/k/", false}, Prefix{"/k z", false},
          Prefix{"/k*", false}, Prefix{"/k{a}", false}, Prefix{"/k#", false}}) {
        EXPECT_EQ(osc_prefix_valid(p.text), p.ok) << p.text;
    }
    struct Target {
        const char* text;
        const char* host;  // null: refused
        const char* port;
    };
    for (const Target& t :
         {Target{"127.0.0.1:9000", "127.0.0.1", "9000"}, Target{"[::1]:8000", "::1", "8000"},
          Target{"console.local:53000", "console.local", "53000"}, Target{"127.0.0.1", nullptr, ""},
          Target{":9000", nullptr, ""}, Target{"host:", nullptr, ""}, Target{"host:0", nullptr, ""},
          Target{"host:65536", nullptr, ""}, Target{"host:12a", nullptr, ""},
          Target{"host:-1", nullptr, ""}}) {
        std::string host, port, error;
        const bool ok = osc_parse_target(t.text, &host, &port, &error);
        EXPECT_EQ(ok, t.host != nullptr) << t.text;
        if (ok && t.host) {
            EXPECT_EQ(host, t.host);
            EXPECT_EQ(port, t.port);
        }
        if (!ok) {
            EXPECT_NE(error.find(t.text), std::string::npos) << error;
        }
    }
}

// ---- the command line -------------------------------------------------------

#ifdef KADENZO_BINARY
struct CommandRun {
    int status;
    std::string err;
};

CommandRun kadenzo(const std::string& args) {
    const std::string err = "/tmp/kadenzo-osc-cli." + std::to_string(::getpid()) + ".err";
    const std::string command =
        std::string("'") + KADENZO_BINARY + "' " + args + " >/dev/null 2>'" + err + "'";
    const int rc = std::system(command.c_str());
    std::string text;
    if (std::FILE* f = std::fopen(err.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, f)) text += buffer;
        std::fclose(f);
    }
    std::remove(err.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128, text};
}

TEST(OscRenderCommand, RealTimeOutputsAreRefusedAndTheLogIsWritten) {
    char dir_pattern[] = "/tmp/kadenzo-osc-XXXXXX";
    const std::string dir = mkdtemp(dir_pattern);
    const std::string wav = dir + "/song.wav", log = dir + "/osc.txt";
    {
        synth::DrumPattern pattern;
        pattern.seconds = 10.0;
        const synth::Music music = synth::drums(pattern);
        std::FILE* f = std::fopen(wav.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        // A 16-bit mono WAV file.
        const std::uint32_t n = static_cast<std::uint32_t>(music.samples.size());
        auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
        auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
        std::fwrite("RIFF", 1, 4, f);
        u32(36 + 2 * n);
        std::fwrite("WAVEfmt ", 1, 8, f);
        u32(16), u16(1), u16(1), u32(44100), u32(88200), u16(2), u16(16);
        std::fwrite("data", 1, 4, f);
        u32(2 * n);
        for (double s : music.samples) {
            u16(static_cast<std::uint16_t>(
                static_cast<std::int16_t>(std::lround(std::clamp(s, -1.0, 1.0) * 32000.0))));
        }
        std::fclose(f);
    }
    for (const char* refused : {"--osc 127.0.0.1:9000", "--link"}) {
        const CommandRun run = kadenzo("render '" + wav + "' " + refused);
        EXPECT_EQ(run.status, 2) << refused;
        EXPECT_NE(run.err.find("real time"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--osc-log"), std::string::npos) << run.err;
    }
    const CommandRun bad = kadenzo("render '" + wav + "' --osc-log '" + log + "' --osc-prefix /a/");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--osc-prefix"), std::string::npos) << bad.err;
    EXPECT_EQ(std::fopen(log.c_str(), "r"), nullptr) << "nothing written on a usage error";

    const CommandRun ok =
        kadenzo("render '" + wav + "' --osc-log '" + log + "' --osc-prefix /show");
    ASSERT_EQ(ok.status, 0) << ok.err;
    std::FILE* f = std::fopen(log.c_str(), "r");
    ASSERT_NE(f, nullptr);
    const std::vector<LogLine> lines = parse_log(f);
    std::fclose(f);
    EXPECT_GT(with_path(lines, "/show/beat").size(), 10u);
    EXPECT_EQ(lines.back().path, "/show/clock");
    std::remove(log.c_str());
    std::remove(wav.c_str());
    ::rmdir(dir.c_str());
}
#endif

// ---- the live sink over UDP -------------------------------------------------

std::int64_t clock_us(clockid_t id) {
    timespec now{};
    clock_gettime(id, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

double wall_of_timetag(lo_timetag t) {
    return (static_cast<double>(t.sec) - 2208988800.0) * 1e6 +
           static_cast<double>(t.frac) / 4294967296.0 * 1e6;
}

struct Received {
    std::string path, types;
    std::vector<std::string> args;  // as text
    double tag_wall_us;             // the time tag; NaN when immediate
    double arrived_wall_us;
};

class Receiver {
  public:
    Receiver() {
        server_ = lo_server_thread_new_with_proto(nullptr, LO_UDP, nullptr);
        if (!server_) return;
        // Future bundles come in at once, with their time tags.
        lo_server_enable_queue(lo_server_thread_get_server(server_), 0, 1);
        lo_server_thread_add_method(server_, nullptr, nullptr, &Receiver::handle, this);
        lo_server_thread_start(server_);
    }
    ~Receiver() {
        if (server_) lo_server_thread_free(server_);
    }
    int port() const { return server_ ? lo_server_thread_get_port(server_) : 0; }
    std::vector<Received> take() {
        std::lock_guard<std::mutex> hold(lock_);
        return messages_;
    }
    bool wait_for(std::size_t count, double seconds) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (messages_.size() >= count) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

  private:
    static int handle(const char* path, const char* types, lo_arg** argv, int argc,
                      lo_message message, void* user) {
        auto* self = static_cast<Receiver*>(user);
        Received r;
        r.path = path;
        r.types = types;
        // The arguments lie at 4-byte boundaries in liblo's buffer, while its
        // lo_arg union asks for 8: they are copied out rather than read through it.
        for (int i = 0; i < argc; ++i) {
            const char* at = reinterpret_cast<const char*>(argv[i]);
            if (types[i] == 'i') {
                std::int32_t value;
                std::memcpy(&value, at, sizeof value);
                r.args.push_back(std::to_string(value));
            }
            if (types[i] == 'f') {
                float value;
                std::memcpy(&value, at, sizeof value);
                char text[32];
                std::snprintf(text, sizeof text, "%.3f", value);
                r.args.push_back(text);
            }
            if (types[i] == 's') r.args.push_back(at);
        }
        const lo_timetag tag = lo_message_get_timestamp(message);
        r.tag_wall_us = tag.sec == LO_TT_IMMEDIATE.sec && tag.frac == LO_TT_IMMEDIATE.frac
                            ? NAN
                            : wall_of_timetag(tag);
        r.arrived_wall_us = static_cast<double>(clock_us(CLOCK_REALTIME));
        std::lock_guard<std::mutex> hold(self->lock_);
        self->messages_.push_back(r);
        return 0;
    }
    lo_server_thread server_ = nullptr;
    std::mutex lock_;
    std::vector<Received> messages_;
};

// A stand-in for the ticker: events at 120 BPM on an engine clock that
// started `origin` of wall time ago, each posted as the ticker would (the
// anti-delay before its time), with the clock readings of the "pass".
class FakeFeed {
  public:
    explicit FakeFeed(output_sink* sink, double anti_delay)
        : sink_(sink), anti_delay_(anti_delay), start_raw_(clock_us(CLOCK_MONOTONIC_RAW)) {}
    double engine_now() const {
        return static_cast<double>(clock_us(CLOCK_MONOTONIC_RAW) - start_raw_) / 1e6 + 10.0;
    }
    sink_event event(sink_event_kind kind, double time) {
        sink_event e;
        e.kind = kind;
        e.time = time;
        e.anti_delay = anti_delay_;
        e.beats_per_bar = 4;
        e.bpm = 120.0;
        e.running = running;
        e.clocks.engine_s = engine_now();
        e.clocks.raw_us = clock_us(CLOCK_MONOTONIC_RAW);
        e.clocks.wall_us = clock_us(CLOCK_REALTIME);
        return e;
    }
    void wait_until(double engine_s) {
        while (engine_now() < engine_s) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Posts a beat at `time` (waiting until it is due) and returns the wall
    // time it belongs to, as read beside the engine clock.
    std::int64_t beat(double time, int position, bool starts_bar) {
        wait_until(time - anti_delay_);
        sink_event e = event(sink_event_kind::beat, time);
        e.position = position;
        e.starts_bar = starts_bar;
        e.settled = true;
        sink_->post(e);
        return e.clocks.wall_us + std::llround((time - e.clocks.engine_s) * 1e6);
    }
    void post(sink_event_kind kind, double time) {
        wait_until(time - anti_delay_);
        if (kind == sink_event_kind::clock_start) running = true;
        if (kind == sink_event_kind::clock_stop) running = false;
        sink_->post(event(kind, time));
    }
    bool running = false;

  private:
    output_sink* sink_;
    double anti_delay_;
    std::int64_t start_raw_;
};

TEST(OscLiveSink, TimeTaggedBundlesArriveAheadByTheAntiDelay) {
    Receiver receiver;
    ASSERT_GT(receiver.port(), 0) << "no OSC receiver on 127.0.0.1";
    osc_sink sink;
    std::string error;
    ASSERT_TRUE(sink.configure("127.0.0.1:" + std::to_string(receiver.port()), "/k", &error))
        << error;
    const double anti_delay = 0.040;
    FakeFeed feed(&sink, anti_delay);
    const double first = feed.engine_now() + 0.1;
    std::vector<std::int64_t> beat_wall;
    feed.post(sink_event_kind::clock_start, first);
    for (int i = 0; i < 8; ++i) beat_wall.push_back(feed.beat(first + 0.5 * i, i % 4, i % 4 == 0));
    feed.post(sink_event_kind::clock_stop, first + 4.0);
    ASSERT_TRUE(receiver.wait_for(8 + 2 + 2 + 2, 2.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::vector<Received> got = receiver.take();

    std::vector<Received> beats;
    int bars = 0;
    for (const Received& r : got) {
        ASSERT_TRUE(std::isfinite(r.tag_wall_us)) << r.path << ": a time tag";
        if (r.path == "/k/beat") beats.push_back(r);
        if (r.path == "/k/bar") {
            EXPECT_EQ(r.types, "i");
            EXPECT_EQ(r.args[0], std::to_string(++bars));
        }
    }
    EXPECT_EQ(bars, 2);
    EXPECT_EQ(got.front().path, "/k/clock");
    EXPECT_EQ(got.front().args, std::vector<std::string>{"start"});
    EXPECT_EQ(got.back().path, "/k/clock");
    EXPECT_EQ(got.back().args, std::vector<std::string>{"stop"});
    ASSERT_EQ(beats.size(), 8u);
    double worst_tag_us = 0.0, least_ahead_ms = 1e9, most_ahead_ms = -1e9;
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].types, "iif");
        EXPECT_EQ(beats[i].args[0], std::to_string(i % 4 + 1));
        EXPECT_EQ(beats[i].args[1], "4");
        EXPECT_EQ(beats[i].args[2], "120.000");
        // The tag is the beat's moment in wall time (the mapping's error is
        // the readings' spacing, microseconds); it arrives ahead of it.
        EXPECT_NEAR(beats[i].tag_wall_us, static_cast<double>(beat_wall[i]), 1000.0) << i;
        const double ahead_ms = (beats[i].tag_wall_us - beats[i].arrived_wall_us) / 1000.0;
        worst_tag_us = std::max(
            worst_tag_us, std::fabs(beats[i].tag_wall_us - static_cast<double>(beat_wall[i])));
        least_ahead_ms = std::min(least_ahead_ms, ahead_ms);
        most_ahead_ms = std::max(most_ahead_ms, ahead_ms);
        EXPECT_GT(ahead_ms, 0.0) << "beat " << i << " arrived after its time";
        EXPECT_LE(ahead_ms, anti_delay * 1000.0 + 1.0) << "beat " << i;
    }
    std::printf(
        "osc live figures: time tag error max %.0f us; arrival %.2f ... %.2f ms ahead "
        "(anti-delay %.0f ms)\n",
        worst_tag_us, least_ahead_ms, most_ahead_ms, anti_delay * 1000.0);
    EXPECT_EQ(sink.counts().failed, 0u);
    EXPECT_EQ(sink.counts().dropped, 0u);
    EXPECT_EQ(sink.counts().sent, got.size());
}

TEST(OscLiveSink, TheTargetChangesAndSwitchesOffWhileRunning) {
    Receiver first, second;
    ASSERT_GT(first.port(), 0);
    ASSERT_GT(second.port(), 0);
    osc_sink sink;
    std::string error;
    EXPECT_FALSE(sink.configure("nowhere", "/kadenzo", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(sink.target(), "") << "a refused target changes nothing";
    ASSERT_TRUE(sink.configure("127.0.0.1:" + std::to_string(first.port()), "/a", &error));
    FakeFeed feed(&sink, 0.01);
    double t = feed.engine_now() + 0.05;
    feed.post(sink_event_kind::clock_start, t);
    feed.beat(t, 0, true);
    ASSERT_TRUE(first.wait_for(4, 1.0));

    ASSERT_TRUE(sink.configure("127.0.0.1:" + std::to_string(second.port()), "/b", &error));
    EXPECT_FALSE(sink.configure("127.0.0.1:9", "/b/", &error)) << "a bad prefix is refused";
    EXPECT_EQ(sink.target(), "127.0.0.1:" + std::to_string(second.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t at_first = first.take().size();
    feed.post(sink_event_kind::clock_start, t + 0.5);
    feed.beat(t + 0.5, 1, false);
    ASSERT_TRUE(second.wait_for(1, 1.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const Received& r : second.take()) EXPECT_EQ(r.path.rfind("/b/", 0), 0u) << r.path;
    EXPECT_EQ(first.take().size(), at_first) << "nothing more to the old target";

    ASSERT_TRUE(sink.configure("", "/b", &error));
    const std::size_t at_second = second.take().size();
    feed.beat(t + 1.0, 2, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(second.take().size(), at_second) << "off sends nothing";
}

}  // namespace
