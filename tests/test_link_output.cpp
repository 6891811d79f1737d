// The Ableton Link output against a second Link peer, inside a private
// network namespace (loopback only), so that no test ever talks to a real
// network: the test runs itself again under `unshare -n` and skips, saying
// why, where that is not permitted.
//
// The music: a render of 120 BPM drums on the virtual clock; the events its
// ticker gave the output sinks are replayed in real time into Kadenzo's Link
// side, as the live timer thread would post them. The peer's tempo and beat
// phase are checked against the MIDI clock's beats of the same render.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/wait.h>
#include <time.h>

#include <ableton/Link.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "linksink.h"
#include "render.h"
#include "synthetic_drums.h"

namespace {

const char* const kInNamespace = "KADENZO_TEST_IN_NETNS";

// Whether loopback is the only network interface here.
bool loopback_only() {
    struct if_nameindex* interfaces = if_nameindex();
    if (!interfaces) return false;
    bool only = true;
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        if (std::strcmp(i->if_name, "lo") != 0) only = false;
    }
    if_freenameindex(interfaces);
    return only;
}

std::string self_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    path[n] = '\0';
    return path;
}

// Runs the current test again in a private network namespace: true when the
// test ran there (its result is then in *status and *output); false, with the
// reason, when no such namespace can be made.
bool run_in_private_network(int* status, std::string* output, std::string* reason) {
    if (std::system("unshare -n true >/dev/null 2>&1") != 0) {
        *reason =
            "cannot make a private network namespace here (unshare -n is not permitted: "
            "run the test as root or with CAP_SYS_ADMIN); Link must not touch a real "
            "network";
        return false;
    }
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const std::string out = "/tmp/kadenzo-link-test." + std::to_string(::getpid()) + ".out";
    const std::string command = std::string(kInNamespace) +
                                "=1 unshare -n sh -c 'ip link set lo up && exec \"$0\" "
                                "--gtest_filter=\"$1\"' '" +
                                self_path() + "' '" + filter + "' >'" + out + "' 2>&1";
    const int rc = std::system(command.c_str());
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
    output->clear();
    if (std::FILE* f = std::fopen(out.c_str(), "r")) {
        char buffer[1024];
        while (std::fgets(buffer, sizeof buffer, f)) *output += buffer;
        std::fclose(f);
    }
    std::remove(out.c_str());
    return true;
}

// Inside the namespace: true, and the test goes on. Outside: the test ran in
// a namespace (or was skipped) and this returns false.
#define KADENZO_LINK_TEST_IN_PRIVATE_NETWORK()                                            \
    do {                                                                                  \
        if (std::getenv(kInNamespace)) {                                                  \
            ASSERT_TRUE(loopback_only()) << "refusing to run Link beside a real network"; \
            break;                                                                        \
        }                                                                                 \
        int status = 0;                                                                   \
        std::string output, reason;                                                       \
        if (!run_in_private_network(&status, &output, &reason)) GTEST_SKIP() << reason;   \
        std::printf("%s", output.c_str());                                                \
        EXPECT_EQ(status, 0) << "the test in the private network namespace failed";       \
        return;                                                                           \
    } while (0)

std::int64_t raw_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

std::int64_t wall_now_us() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Keeps every event the ticker gives the sinks.
class CaptureSink : public output_sink {
  public:
    void post(const sink_event& event) override { events.push_back(event); }
    std::vector<sink_event> events;
};

struct Fixture {
    std::vector<sink_event> events;
    std::vector<double> midi_beats;  // music time of the MIDI clock's beats
    double anti_delay = 0.02;
};

Fixture render_fixture(double bpm, double seconds) {
    synth::DrumPattern pattern;
    pattern.bpm = bpm;
    pattern.seconds = seconds;
    const synth::Music music = synth::drums(pattern);
    Fixture f;
    CaptureSink capture;
    RenderSettings settings;
    settings.anti_delay = f.anti_delay;
    settings.sinks.push_back(&capture);
    const RenderOutcome outcome =
        render_engine(std::vector<float>(music.samples.begin(), music.samples.end()), settings);
    EXPECT_TRUE(outcome.ok) << outcome.error;
    f.events = capture.events;
    long clocks = -1;
    for (const midioutput_record& r : outcome.messages) {
        if (r.bytes.empty()) continue;
        if (r.bytes[0] == 0xFA) clocks = 0;
        if (r.bytes[0] == 0xF8 && clocks >= 0 && clocks++ % 24 == 0)
            f.midi_beats.push_back(r.time + f.anti_delay);
    }
    return f;
}

// Replays the events in real time: engine time runs with
// CLOCK_MONOTONIC_RAW (Link's host clock) from just before the first event;
// each event is due the anti-delay ahead of its time, as the ticker posts it,
// with the clock readings of that moment.
class Replay {
  public:
    explicit Replay(const Fixture& f)
        : engine_origin_(f.events.front().time - f.anti_delay - 0.05), raw_origin_(raw_now_us()) {}
    double engine_now() const {
        return engine_origin_ + static_cast<double>(raw_now_us() - raw_origin_) / 1e6;
    }
    std::chrono::microseconds host_us(double engine_s) const {
        return std::chrono::microseconds(raw_origin_ +
                                         std::llround((engine_s - engine_origin_) * 1e6));
    }
    // Waits until the event is due; the event with that moment's readings.
    sink_event when_due(const sink_event& original) const {
        while (engine_now() < original.time - original.anti_delay)
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        sink_event e = original;
        e.clocks.engine_s = engine_now();
        e.clocks.raw_us = raw_now_us();
        e.clocks.wall_us = wall_now_us();
        return e;
    }

  private:
    double engine_origin_;
    std::int64_t raw_origin_;
};

// Waits until the peer sees the other one.
bool peers_meet(const ableton::Link& peer) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (peer.numPeers() < 1 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return peer.numPeers() == 1;
}

struct PeerSample {
    double music_time;  // of a MIDI clock beat
    int position;       // in its bar, 0 first
    double clock_bpm;   // the MIDI clock's tempo
    double peer_bpm;
    double peer_beat;   // the peer's beat at that moment (quantum 4)
    double peer_phase;  // and its phase in the quantum
    bool peer_playing;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t i =
        std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5));
    return v[i];
}

TEST(LinkOutput, APeerFollowsTheMusicsTempoBeatsAndStartStopButDoesNotSteerIt) {
    KADENZO_LINK_TEST_IN_PRIVATE_NETWORK();
    const double bpm = 120.0;
    const Fixture fixture = render_fixture(bpm, 36.0);
    ASSERT_GT(fixture.midi_beats.size(), 40u);

    // The peer holds a session at another tempo before Kadenzo joins.
    ableton::Link peer(100.0);
    peer.enableStartStopSync(true);
    peer.enable(true);
    // Well after: the older session is the one both keep.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    link_sink kadenzo;
    kadenzo.enable(true);
    ASSERT_TRUE(peers_meet(peer)) << "the two Link peers did not find each other on loopback";

    Replay replay(fixture);
    double first_settled = -1.0;
    std::vector<double> tempo_before_settled;
    std::vector<PeerSample> samples;
    std::size_t next_midi_beat = 0;
    // Once locked, the peer's user turns its tempo to 90 BPM: the music
    // brings the session back.
    const double lock_seconds = 8.0, disturb_after = 12.0, recover_seconds = 5.0;
    bool disturbed = false;
    for (const sink_event& original : fixture.events) {
        sink_event e = replay.when_due(original);
        if (e.kind == sink_event_kind::beat && (e.settled || e.running) && first_settled < 0)
            first_settled = e.time;
        if (first_settled < 0)
            tempo_before_settled.push_back(peer.captureAppSessionState().tempo());
        kadenzo.post(e);
        if (!disturbed && first_settled > 0 && e.time > first_settled + disturb_after) {
            disturbed = true;
            auto state = peer.captureAppSessionState();
            state.setTempo(90.0, peer.clock().micros());
            peer.commitAppSessionState(state);
        }
        if (e.kind != sink_event_kind::beat || !e.running) continue;
        // The MIDI clock's beat that this beat event is.
        while (next_midi_beat < fixture.midi_beats.size() &&
               fixture.midi_beats[next_midi_beat] < e.time - 0.002)
            ++next_midi_beat;
        if (next_midi_beat >= fixture.midi_beats.size()) continue;
        const double beat = fixture.midi_beats[next_midi_beat];
        EXPECT_NEAR(beat, e.time, 0.002) << "a beat event off the MIDI clock's beat";
        // What the peer's timeline says of that beat, a moment before it.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto state = peer.captureAppSessionState();
        PeerSample s;
        s.music_time = beat;
        s.position = e.position;
        s.clock_bpm = e.bpm;
        s.peer_bpm = state.tempo();
        s.peer_beat = state.beatAtTime(replay.host_us(beat), 4.0);
        s.peer_phase = state.phaseAtTime(replay.host_us(beat), 4.0);
        s.peer_playing = state.isPlaying();
        samples.push_back(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(peer.captureAppSessionState().isPlaying()) << "the clock's Stop stops the peer";
    ASSERT_GT(first_settled, 0.0);
    for (double t : tempo_before_settled)
        EXPECT_NEAR(t, 100.0, 1e-6)
            << "joining changed the session's tempo before the grid settled";

    // After lock (the first seconds pull the phase in), and again once the
    // peer's tempo change has been undone: every beat's tempo and phase
    // error. The peer plays from the beat after Start (Start reaches it
    // over the network, the Start beat's sample may come first).
    ASSERT_TRUE(disturbed);
    const double disturbed_at = first_settled + disturb_after;
    std::vector<double> phase_ms, tempo_pct;
    int bar_starts = 0, bar_starts_on_quantum = 0, after_disturbance = 0;
    for (const PeerSample& s : samples) {
        if (&s != &samples.front()) {
            EXPECT_TRUE(s.peer_playing) << "the clock's Start starts the peer, at " << s.music_time;
        }
        if (s.music_time < first_settled + lock_seconds) continue;
        if (s.music_time > disturbed_at - 0.1 && s.music_time < disturbed_at + recover_seconds)
            continue;
        after_disturbance += s.music_time > disturbed_at;
        const double period_ms = 60000.0 / s.clock_bpm;
        phase_ms.push_back(std::fabs(s.peer_beat - std::round(s.peer_beat)) * period_ms);
        tempo_pct.push_back(std::fabs(s.peer_bpm / s.clock_bpm - 1.0) * 100.0);
        EXPECT_LT(tempo_pct.back(), 0.5) << "peer tempo " << s.peer_bpm << " at " << s.music_time;
        EXPECT_LT(phase_ms.back(), 10.0)
            << "peer phase off by " << phase_ms.back() << " ms at " << s.music_time;
        if (s.position == 0) {
            ++bar_starts;
            // Beat 0 of the peer's quantum of 4 is the music's bar start.
            const double off = std::min(s.peer_phase, 4.0 - s.peer_phase);
            bar_starts_on_quantum += off < 0.1;
        }
    }
    ASSERT_GT(phase_ms.size(), 20u);
    EXPECT_GT(after_disturbance, 10);
    EXPECT_GT(bar_starts, 4);
    EXPECT_EQ(bar_starts_on_quantum, bar_starts) << "bar starts on the quantum's beat 0";
    std::printf(
        "link figures: beats %zu, phase error p50 %.3f ms p99 %.3f ms max %.3f ms; tempo "
        "error p99 %.3f %% max %.3f %%\n",
        phase_ms.size(), percentile(phase_ms, 0.5), percentile(phase_ms, 0.99),
        *std::max_element(phase_ms.begin(), phase_ms.end()), percentile(tempo_pct, 0.99),
        *std::max_element(tempo_pct.begin(), tempo_pct.end()));
    const link_sink_status status = kadenzo.status();
    EXPECT_EQ(status.peers, 1);
    EXPECT_TRUE(status.driving);
    EXPECT_EQ(status.quantum, 4.0);
    EXPECT_EQ(status.forced, 0u) << "no phase jumps without lead mode";
}

TEST(LinkOutput, InLeadModeThePhaseGoesToTheMusicAtOnceAtMostOnceABar) {
    KADENZO_LINK_TEST_IN_PRIVATE_NETWORK();
    const Fixture fixture = render_fixture(120.0, 16.0);
    ASSERT_GT(fixture.midi_beats.size(), 16u);
    // The peer's session, already at the music's tempo but a third of a
    // beat off its phase: gentle steering would take seconds.
    ableton::Link peer(120.0);
    peer.enable(true);
    {
        auto state = peer.captureAppSessionState();
        state.forceBeatAtTime(0.0, peer.clock().micros(), 4.0);
        peer.commitAppSessionState(state);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    link_sink kadenzo;
    kadenzo.set_lead(true);
    kadenzo.enable(true);
    ASSERT_TRUE(peers_meet(peer));

    Replay replay(fixture);
    double first_settled = -1.0;
    std::vector<std::pair<double, double>> errors_ms;  // beat time, phase error
    for (const sink_event& original : fixture.events) {
        sink_event e = replay.when_due(original);
        if (e.kind == sink_event_kind::beat && (e.settled || e.running) && first_settled < 0)
            first_settled = e.time;
        kadenzo.post(e);
        if (e.kind != sink_event_kind::beat || !e.running) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const double b = peer.captureAppSessionState().beatAtTime(replay.host_us(e.time), 4.0);
        errors_ms.push_back({e.time, std::fabs(b - std::round(b)) * 60000.0 / e.bpm});
    }
    ASSERT_GT(first_settled, 0.0);
    // From two bars after the grid settled on, every beat is on time.
    int checked = 0;
    for (const auto& [t, error] : errors_ms) {
        if (t < first_settled + 4.0) continue;
        EXPECT_LT(error, 10.0) << "at " << t;
        ++checked;
    }
    EXPECT_GT(checked, 10);
    const link_sink_status status = kadenzo.status();
    EXPECT_GE(status.forced, 1u);
    // At most once a bar over the run.
    EXPECT_LE(status.forced, static_cast<std::uint64_t>(fixture.midi_beats.size() / 4 + 1));
}

}  // namespace
