// `kadenzo live` as a program, with real parts: a JACK server of the test's
// own (dummy backend) gives real PortAudio input and real RtMidi output. A
// client of the test plays a synthetic recording at 120 BPM into the
// program's input ports and records the MIDI it sends back, both on JACK's
// frame clock; the program is stopped with SIGTERM like a user's Ctrl-C.
// Also: the device listing, and bad input that must leave the program
// running with a clear message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "live_test_support.h"
#include "synthetic_drums.h"

namespace {

using jack_test::file_text;
using livetest::waitUntil;

constexpr double kRate = 44100.0;

class LiveProgram : public testing::Test {
  protected:
    void startServer(int captureChannels = 2) {
        std::string why;
        ASSERT_TRUE(server.start(&why, 44100, captureChannels)) << why;
        const std::string base = testing::TempDir() + "kadenzo-live-" + std::to_string(getpid());
        outPath = base + ".out";
        errPath = base + ".err";
        std::remove(outPath.c_str());
        std::remove(errPath.c_str());
    }
    void launch(std::vector<std::string> args) {
        args.insert(args.begin(), {KADENZO_BINARY, "live"});
        pid = jack_test::spawn(args, outPath, errPath);
        ASSERT_GT(pid, 0);
    }
    std::string out() const { return file_text(outPath); }
    std::string err() const { return file_text(errPath); }
    int statusLines() const {
        const std::string text = out();
        int count = 0;
        for (size_t at = text.find(" BPM "); at != std::string::npos;
             at = text.find(" BPM ", at + 1)) {
            ++count;
        }
        return count;
    }
    bool running() {
        int status = 0;
        return pid > 0 && !jack_test::has_exited(pid, &status);
    }
    // SIGTERM, as a user's Ctrl-C; the program's exit status (-1 if it hung).
    int terminate() {
        kill(pid, SIGTERM);
        int status = 0;
        const bool exited = jack_test::wait_for_exit(pid, 15.0, &status);
        if (!exited) {
            jack_test::stop_process(pid, 1.0);
            pid = -1;
            return -1;
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void TearDown() override {
        if (pid > 0) jack_test::stop_process(pid);  // before the server goes
        client.reset();
        server.stop();
        std::remove(outPath.c_str());
        std::remove(errPath.c_str());
    }

    livetest::JackServer server;
    std::unique_ptr<livetest::TestClient> client;
    std::string outPath, errPath;
    pid_t pid = -1;
};

double secondsOf(const livetest::MidiEvent& e, std::uint64_t startFrame) {
    return (static_cast<double>(e.frame) - static_cast<double>(startFrame)) / kRate;
}

double nearestDistance(const std::vector<double>& beats, double t) {
    double best = 1e9;
    for (double b : beats) best = std::min(best, std::fabs(b - t));
    return best;
}

// The tempo level the clocks follow: 120 BPM or its half or double.
double nearestTempo(double bpm) {
    double best = 120.0;
    for (double target : {60.0, 120.0, 240.0}) {
        if (std::fabs(bpm / target - 1.0) < std::fabs(bpm / best - 1.0)) best = target;
    }
    return best;
}

// A run of the MIDI clock: from a Start to the next Stop.
struct ClockRun {
    double start;
    double stop;  // infinity when it ran to the end
    std::vector<double> clocks;
};

TEST_F(LiveProgram, FollowsA120BpmRecordingWithMidiClockFromSoundToStop) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 1, true);
    ASSERT_TRUE(client->ok());

    // 44 s of drums at 120 BPM in 4/4, silent from 24 to 29 s: the clock
    // must stop in the gap and start again, on a beat, once the music is back.
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.beatsPerBar = 4;
    pattern.seconds = 44.0;
    pattern.firstBeat = 0.3;
    const synth::Music music = synth::drums(pattern);
    const double gapStart = 24.0, gapEnd = 29.0;
    std::vector<float> samples(music.samples.begin(), music.samples.end());
    std::fill(samples.begin() + static_cast<long>(gapStart * kRate),
              samples.begin() + static_cast<long>(gapEnd * kRate), 0.0f);

    launch({"--audio-device", "system", "--channels", "1,2", "--midi-port",
            client->fullName("midi_in")});
    ASSERT_TRUE(waitUntil([&] { return out().find("MIDI output") != std::string::npos; }, 15.0))
        << "stdout:\n"
        << out() << "\nstderr:\n"
        << err();
    ASSERT_TRUE(waitUntil([&] { return client->ports("^kadenzo:in_").size() == 2; }, 5.0));
    for (const std::string& input : client->ports("^kadenzo:in_")) {
        ASSERT_TRUE(client->connect(client->fullName("out_0"), input));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // silence before the music

    client->play({samples});
    ASSERT_TRUE(waitUntil([&] { return client->finished(); }, pattern.seconds + 10.0));
    const std::uint64_t start = client->startFrame();
    const std::uint64_t terminatedAt = client->frameTime();
    ASSERT_TRUE(running()) << err();
    EXPECT_EQ(terminate(), 0) << "stderr:\n" << err();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<livetest::MidiEvent> events = client->midiEvents();
    const double end = (static_cast<double>(terminatedAt) - start) / kRate;

    // Times are measured in music time: the position in the recording that
    // was going out when a message arrived. On a busy machine JACK's dummy
    // backend skips frames now and then, which pauses the music (and the
    // program's input) while its frame clock runs on; the clock has to
    // follow the music, not the frame clock.
    auto musicTime = [&](const livetest::MidiEvent& e) {
        return e.frame < start ? secondsOf(e, start) : client->sampleAtFrame(e.frame) / kRate;
    };
    const std::vector<double>& beats = music.beats;
    const std::uint64_t skipped = client->printSkips();

    // Split the MIDI into clock runs.
    std::vector<ClockRun> runs;
    bool stopAfterEnd = false;
    int strayClocks = 0;
    for (const auto& e : events) {
        const double t = musicTime(e);
        if (e.bytes[0] == 0xFA) {
            runs.push_back({t, INFINITY, {}});
        } else if (e.bytes[0] == 0xFC) {
            if (!runs.empty() && runs.back().stop == INFINITY) runs.back().stop = t;
            if (e.frame >= terminatedAt) stopAfterEnd = true;
        } else if (e.bytes[0] == 0xF8) {
            if (!runs.empty() && runs.back().stop == INFINITY) {
                runs.back().clocks.push_back(t);
            } else {
                ++strayClocks;
            }
        }
    }
    if (getenv("KADENZO_LIVE_DUMP")) {
        for (const auto& e : events) {
            std::printf("event %.4f %.4f %02x\n", musicTime(e), secondsOf(e, start), e.bytes[0]);
        }
        std::printf("stdout:\n%s\nstderr:\n%s\n", out().c_str(), err().c_str());
    }

    ASSERT_FALSE(runs.empty()) << "no MIDI Start";
    EXPECT_GE(runs.front().start, 0.0) << "the clock started before the music";
    EXPECT_LE(runs.front().start, 15.0) << "the clock started late";
    EXPECT_EQ(strayClocks, 0) << "clocks without a Start";
    for (const ClockRun& run : runs) {
        EXPECT_LE(nearestDistance(beats, run.start), 0.070) << "Start at " << run.start << " s";
    }
    // The gap: the clock stops in it and comes back after it.
    EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [&](const ClockRun& r) {
        return r.stop > gapStart && r.stop < gapEnd;
    })) << "no Stop in the silence";
    EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [&](const ClockRun& r) {
        return r.start > gapEnd && r.start < gapEnd + 10.0;
    })) << "no Start after the silence";

    // The program's time is the server's frame count, which runs on through
    // the cycles the server skips while the music pauses; skips of more than
    // a few thousandths (a loaded machine, the race detector) slow the tempo
    // in music time by their share, and then only the shape is checked.
    const double skippedShare = static_cast<double>(skipped) / (end * kRate);
    const bool tempoCheckable = skippedShare < 0.004;
    if (!tempoCheckable)
        std::printf("the server skipped %.1f %% of the frames: tempo not checked\n",
                    100.0 * skippedShare);
    // The tempo the clocks imply, per run: from the least-squares line
    // through the clock times (the clock also shifts its phase now and then
    // to stay on the beat, which a line averages out). Stretches of 8 beats
    // must not wander far from it either.
    int stretches = 0;
    double worst = 0.0, offsetSum = 0.0;
    int beatClocks = 0;
    for (const ClockRun& run : runs) {
        const std::vector<double>& c = run.clocks;
        if (c.size() < 24 * 8) continue;
        const double n = static_cast<double>(c.size());
        double meanIndex = (n - 1) / 2.0, meanTime = 0.0;
        for (double t : c) meanTime += t / n;
        double sxy = 0.0, sxx = 0.0;
        for (std::size_t i = 0; i < c.size(); ++i) {
            sxy += (i - meanIndex) * (c[i] - meanTime);
            sxx += (i - meanIndex) * (i - meanIndex);
        }
        const double bpm = 60.0 / (24.0 * sxy / sxx);
        const double target = nearestTempo(bpm);
        if (tempoCheckable) {
            EXPECT_NEAR(bpm / target, 1.0, 0.01) << "run from " << run.start << " s: " << bpm;
        }
        std::printf("run from %.2f s: %zu clocks, %.2f BPM\n", run.start, c.size(), bpm);
        for (size_t i = 0; i + 192 < c.size(); i += 192) {
            const double stretch = 60.0 / ((c[i + 192] - c[i]) / 192.0 * 24.0);
            worst = std::max(worst, std::fabs(stretch / target - 1.0));
            ++stretches;
        }
        for (size_t i = 0; i < c.size(); i += 24) {
            offsetSum += nearestDistance(beats, c[i]);
            ++beatClocks;
        }
    }
    EXPECT_GE(stretches, 5) << "too few clocks";
    if (tempoCheckable) {
        EXPECT_LT(worst, 0.03) << "an 8-beat stretch off by " << 100.0 * worst << " %";
    }
    std::printf(
        "%zu clock runs, first Start at %.3f s, worst 8-beat stretch %.2f %% off, beat "
        "clocks %.1f ms from the beats on average, music ended at %.1f s\n",
        runs.size(), runs.front().start, 100.0 * worst,
        beatClocks ? 1000.0 * offsetSum / beatClocks : 0.0, end);

    // Stop when the program was terminated.
    EXPECT_TRUE(stopAfterEnd) << "no MIDI Stop after SIGTERM";
    EXPECT_NE(out().find("kadenzo live: stopped"), std::string::npos);
}

// The performer's foot controller on a MIDI input port: two taps on every
// other beat of 120 BPM drums set the clock to 60 BPM on the tapped beats,
// each tap taken at its arrival time; a bar 1 on a beat makes the bars of
// the phase controller start there.
TEST_F(LiveProgram, TwoTapsAndABarOneFromTheControlPort) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-ctl", 1, true, true);
    ASSERT_TRUE(client->ok());
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.seconds = 40.0;
    pattern.firstBeat = 0.3;
    const synth::Music music = synth::drums(pattern);
    launch({"--audio-device", "system", "--channels", "1,2", "--midi-port",
            client->fullName("midi_in"), "--control-port", client->fullName("midi_out"),
            "--phase", "--no-keys"});
    ASSERT_TRUE(waitUntil([&] { return out().find("MIDI output") != std::string::npos; }, 15.0))
        << "stdout:\n" << out() << "\nstderr:\n" << err();
    EXPECT_NE(out().find("controls from MIDI input"), std::string::npos) << out();
    ASSERT_TRUE(waitUntil([&] { return client->ports("^kadenzo:in_").size() == 2; }, 5.0));
    for (const std::string& input : client->ports("^kadenzo:in_"))
        ASSERT_TRUE(client->connect(client->fullName("out_0"), input));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    client->play({std::vector<float>(music.samples.begin(), music.samples.end())});
    ASSERT_TRUE(waitUntil([&] { return client->startFrame() != livetest::TestClient::kNoFrame; },
                          5.0));
    const std::uint64_t start = client->startFrame();
    auto frameOf = [&](double musicSeconds) {
        return start + static_cast<std::uint64_t>(std::llround(musicSeconds * kRate));
    };
    // Taps on the beats at 12.3 and 13.3 s (every other beat), the bar 1 on
    // the clock's beat at 20.3 s, a little late; Note Ons of the default map.
    const double tap1 = 12.3, tap2 = 13.3, barOne = 20.3, barPress = 20.31;
    ASSERT_TRUE(client->sendMidiAt(frameOf(tap1), {0x90, 60, 100}));
    ASSERT_TRUE(client->sendMidiAt(frameOf(tap1 + 0.1), {0x80, 60, 0}));
    ASSERT_TRUE(client->sendMidiAt(frameOf(tap2), {0x90, 60, 100}));
    ASSERT_TRUE(client->sendMidiAt(frameOf(tap2 + 0.1), {0x80, 60, 0}));
    ASSERT_TRUE(client->sendMidiAt(frameOf(barPress), {0x90, 67, 100}));
    ASSERT_TRUE(waitUntil([&] { return client->finished(); }, pattern.seconds + 10.0));
    EXPECT_EQ(client->midiSent(), 5u);
    EXPECT_EQ(terminate(), 0) << "stderr:\n" << err();
    EXPECT_NE(out().find("corrections: tap"), std::string::npos) << out();
    EXPECT_NE(out().find("bar 1"), std::string::npos) << out();
#if defined(__SANITIZE_THREAD__)
    // Under the race detector the program runs several times slower than the
    // music: the taps are read late, so their grid is checked in the plain
    // build only.
    GTEST_SKIP() << "the timing of the tapped grid is checked without the race detector";
#endif
    // On a busy machine the server skips frames now and then, which pauses
    // the music while the frame clock (the program's time, in which the taps
    // were placed) runs on; the clock then has to catch up with the music by
    // limited corrections. Skips of more than half the tolerance below make
    // the check meaningless.
    const double tolerance = 0.04;
    if (client->printSkips() > tolerance / 2.0 * kRate) {
        GTEST_SKIP() << "the server skipped too many frames to check the tapped grid";
    }

    auto musicTime = [&](const livetest::MidiEvent& e) {
        return e.frame < start ? secondsOf(e, start) : client->sampleAtFrame(e.frame) / kRate;
    };
    std::vector<double> clockBeats, barStarts;
    int clocks = -1;
    double lastBarZero = -1.0;
    for (const livetest::MidiEvent& e : client->midiEvents()) {
        const double t = musicTime(e);
        if (e.bytes[0] == 0xFA) clocks = 0;
        if (e.bytes[0] == 0xF8 && clocks >= 0 && clocks++ % 24 == 0) clockBeats.push_back(t);
        // The bar phase controller: 0 at each bar start (and one step after).
        if (e.bytes[0] == 0xB0 && e.bytes[1] == 64 && e.bytes[2] == 0) {
            if (t - lastBarZero > 0.1) barStarts.push_back(t);
            lastBarZero = t;
        }
    }
    if (getenv("KADENZO_LIVE_DUMP")) {
        for (double t : clockBeats) std::printf("clock beat %.4f\n", t);
        std::printf("stdout:\n%s\n", out().c_str());
    }
    // A beat a second on the tapped beats, from the second beat of the tapped
    // grid on: the clock moves onto it at the beat 2 s after the second tap,
    // 1.5 s after the last beat at 120 BPM, and that interval is no error.
    int checked = 0;
    for (std::size_t i = 1; i < clockBeats.size(); ++i) {
        const double t = clockBeats[i];
        if (t < tap2 + 2.5 || t > pattern.seconds - 1.0) continue;
        EXPECT_NEAR(t - clockBeats[i - 1], 1.0, 0.02) << "beat at " << t;
        const double fromTap = t - tap1;
        EXPECT_NEAR(fromTap - std::round(fromTap), 0.0, tolerance) << "beat at " << t;
        ++checked;
    }
    EXPECT_GE(checked, 15);
    // Bars (two of the clock's beats) start on the beat of the bar 1.
    int bars = 0;
    for (double t : barStarts) {
        if (t < barOne + 2.5 || t > pattern.seconds - 1.0) continue;
        const double bars_from = (t - barOne) / 2.0;
        EXPECT_NEAR(bars_from - std::round(bars_from), 0.0, tolerance / 2.0) << "bar at " << t;
        ++bars;
    }
    EXPECT_GE(bars, 6);
}

TEST_F(LiveProgram, ListsAudioInputsAndMidiPortsAndExits) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
    ASSERT_TRUE(client->ok());
    launch({"--list"});
    int status = 0;
    ASSERT_TRUE(jack_test::wait_for_exit(pid, 15.0, &status));
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string text = out();
    EXPECT_NE(text.find("Audio input devices:\n  0: system  <default>\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("MIDI output ports:\n  0: kadenzo-e2e:midi_in"), std::string::npos) << text;
}

TEST_F(LiveProgram, InputItCanWorkAroundLeavesTheProgramRunningWithAClearMessage) {
    struct Case {
        int captureChannels;
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {0, {}, "kadenzo live: no audio input device found; running without audio input"},
        {2,
         {"--channels", "1,5"},
         "kadenzo live: the device has 2 input channel(s); channel 5 ignored"},
        {2, {"--channels", "3"}, "kadenzo live: none of the channels exists; the input is silent"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        startServer(c.captureChannels);
        client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
        ASSERT_TRUE(client->ok());
        launch(c.args);
        EXPECT_TRUE(waitUntil([&] { return statusLines() >= 2; }, 15.0)) << "stdout:\n"
                                                                         << out() << "\nstderr:\n"
                                                                         << err();
        EXPECT_TRUE(running());
        EXPECT_NE(err().find(c.message), std::string::npos) << err();
        EXPECT_EQ(terminate(), 0);
        EXPECT_NE(out().find("kadenzo live: stopped"), std::string::npos);
        TearDown();
    }
}

TEST_F(LiveProgram, ADeviceOrPortThatMatchesNothingEndsTheProgramWithTheList) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> fragments;
    };
    const std::vector<Case> cases = {
        {{"--audio-device", "no-such-card"},
         {"kadenzo live: no audio input device 'no-such-card'", "Audio input devices:",
          "  0: system"}},
        {{"--audio-device", "7"}, {"no audio input device '7'", "  0: system"}},
        {{"--midi-port", "gone-port"},
         {"kadenzo live: no MIDI output port 'gone-port'", "MIDI output ports:",
          "  0: kadenzo-e2e:midi_in"}},
        {{"--midi-port", "3"}, {"no MIDI output port '3'", "kadenzo-e2e:midi_in"}},
    };
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
    ASSERT_TRUE(client->ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::remove(errPath.c_str());
        launch(c.args);
        int status = 0;
        ASSERT_TRUE(jack_test::wait_for_exit(pid, 15.0, &status));
        pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        for (const std::string& fragment : c.fragments)
            EXPECT_NE(err().find(fragment), std::string::npos) << err();
        EXPECT_EQ(statusLines(), 0) << "it did not run";
    }
}

TEST_F(LiveProgram, BadOptionValuesAreUsageErrors) {
    startServer();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--anti-delay", "nan"}, {"--anti-delay", "501"},
          {"--half-life", "NaN"}, {"--silence-threshold", "nan"}, {"--settle", "-1"},
          {"--no-such-option"}}) {
        SCOPED_TRACE(args.front() + " " + args.back());
        launch(args);
        int status = 0;
        ASSERT_TRUE(jack_test::wait_for_exit(pid, 15.0, &status));
        pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    }
}

TEST_F(LiveProgram, WhenTheAudioServerDiesTheProgramSaysSoAndEnds) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
    ASSERT_TRUE(client->ok());
    launch({});
    ASSERT_TRUE(waitUntil([&] { return statusLines() >= 1; }, 15.0)) << err();
    client.reset();
    const auto killed = std::chrono::steady_clock::now();
    server.stop();
    int status = 0;
    ASSERT_TRUE(jack_test::wait_for_exit(pid, 8.0, &status)) << "still running:\n" << err();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    pid = -1;
    std::printf("the program ended %.2f s after the server\n", took);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    EXPECT_NE(err().find("kadenzo live: the audio input is gone"), std::string::npos) << err();
}

TEST_F(LiveProgram, AMidiReceiverThatGoesAndComesBackGetsTheClockAgain) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 1, false);
    ASSERT_TRUE(client->ok());
    auto receiver = std::make_unique<livetest::TestClient>("kadenzo-rx", 0, true);
    ASSERT_TRUE(receiver->ok());
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.seconds = 40.0;
    const synth::Music music = synth::drums(pattern);

    launch({"--midi-port", "kadenzo-rx:midi_in", "--settle", "1"});
    ASSERT_TRUE(waitUntil([&] { return client->ports("^kadenzo:in_").size() == 2; }, 15.0))
        << err();
    for (const std::string& input : client->ports("^kadenzo:in_"))
        ASSERT_TRUE(client->connect(client->fullName("out_0"), input));
    client->play({std::vector<float>(music.samples.begin(), music.samples.end())});
    const auto sawStart = [](const livetest::TestClient& c) {
        for (const livetest::MidiEvent& e : c.midiEvents())
            if (e.bytes[0] == 0xFA) return true;
        return false;
    };
    ASSERT_TRUE(waitUntil([&] { return sawStart(*receiver); }, 15.0)) << out() << err();

    receiver.reset();  // the receiving program quits
    EXPECT_TRUE(waitUntil([&] { return out().find("MIDI: no receiver") != std::string::npos; },
                          5.0))
        << out();
    EXPECT_TRUE(running());
    receiver = std::make_unique<livetest::TestClient>("kadenzo-rx", 0, true);
    ASSERT_TRUE(receiver->ok());
    EXPECT_TRUE(waitUntil([&] { return err().find("is back") != std::string::npos; }, 5.0))
        << err();
    EXPECT_TRUE(waitUntil([&] { return sawStart(*receiver); }, 5.0)) << "a Start at the next beat";
    EXPECT_EQ(terminate(), 0) << err();
}

TEST_F(LiveProgram, HangUpStopsTheClockLikeCtrlC) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 1, true);
    ASSERT_TRUE(client->ok());
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.seconds = 30.0;
    const synth::Music music = synth::drums(pattern);
    const std::string logPath = testing::TempDir() + "kadenzo-live-prediction.txt";
    std::remove(logPath.c_str());
    launch({"--midi-port", client->fullName("midi_in"), "--settle", "1", "--prediction-log",
            logPath});
    ASSERT_TRUE(waitUntil([&] { return client->ports("^kadenzo:in_").size() == 2; }, 15.0));
    for (const std::string& input : client->ports("^kadenzo:in_"))
        ASSERT_TRUE(client->connect(client->fullName("out_0"), input));
    client->play({std::vector<float>(music.samples.begin(), music.samples.end())});
    const auto count = [&](unsigned char status) {
        int n = 0;
        for (const livetest::MidiEvent& e : client->midiEvents()) n += e.bytes[0] == status;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] { return count(0xFA) > 0; }, 20.0)) << err();
    EXPECT_LE(count(0xFC), 1) << "at most the one Stop of the start-up";
    const int stopsBefore = count(0xFC);
    kill(pid, SIGHUP);
    int status = 0;
    ASSERT_TRUE(jack_test::wait_for_exit(pid, 15.0, &status));
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(count(0xFC), stopsBefore + 1) << "MIDI Stop on hang-up";
    // The prediction log asked for: complete, one line per estimate update.
    const std::string log = file_text(logPath);
    EXPECT_GE(std::count(log.begin(), log.end(), '\n'), 3) << log;
    std::remove(logPath.c_str());
    EXPECT_FALSE(std::ifstream("beatpredictor.txt").good()) << "no log nobody asked for";
}

TEST_F(LiveProgram, WithoutAnyMidiPortTheProgramSaysSoAndEnds) {
    startServer();  // no MIDI input anywhere on this server
    launch({});
    int status = 0;
    ASSERT_TRUE(jack_test::wait_for_exit(pid, 15.0, &status));
    pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(err().find("kadenzo live: no MIDI output port available"), std::string::npos)
        << err();
}

}  // namespace

namespace {

// The clock frames of each Start..Stop run, and whether each run's Start
// shares its frame with its first Clock and its Stop comes after its last.
struct FrameRuns {
    std::vector<std::vector<std::int64_t>> clocks;
    int startsOnFirstClock = 0;
    int stopsAfterLastClock = 0;
};

FrameRuns frameRuns(const std::vector<livetest::MidiEvent>& events) {
    FrameRuns runs;
    std::int64_t start = -1;
    bool open = false;
    for (const auto& e : events) {
        const auto frame = static_cast<std::int64_t>(e.frame);
        if (e.bytes[0] == 0xFA) {
            runs.clocks.emplace_back();
            start = frame;
            open = true;
        } else if (e.bytes[0] == 0xF8 && open) {
            if (runs.clocks.back().empty() && frame == start) ++runs.startsOnFirstClock;
            runs.clocks.back().push_back(frame);
        } else if (e.bytes[0] == 0xFC && open) {
            if (!runs.clocks.back().empty() && frame >= runs.clocks.back().back())
                ++runs.stopsAfterLastClock;
            open = false;
        }
    }
    return runs;
}

}  // namespace

TEST_F(LiveProgram, OnItsOwnJackClientEveryClockGoesOutAtItsOwnFrame) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 1, true);
    ASSERT_TRUE(client->ok());
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.beatsPerBar = 4;
    pattern.seconds = 24.0;
    pattern.firstBeat = 0.3;
    const synth::Music music = synth::drums(pattern);
    std::vector<float> samples(music.samples.begin(), music.samples.end());

    launch({"--backend", "jack", "--audio-device", "system", "--settle", "2", "--midi-port",
            client->fullName("midi_in")});
    ASSERT_TRUE(waitUntil([&] { return out().find("MIDI output") != std::string::npos; }, 15.0))
        << "stdout:\n" << out() << "\nstderr:\n" << err();
    ASSERT_TRUE(waitUntil([&] { return client->ports("^kadenzo:in_").size() == 2; }, 5.0));
    ASSERT_TRUE(client->connect(client->fullName("out_0"), "kadenzo:in_0"));
    client->play({samples});
    ASSERT_TRUE(waitUntil([&] { return client->finished(); }, pattern.seconds + 10.0));
    EXPECT_EQ(terminate(), 0) << "stderr:\n" << err();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const FrameRuns runs = frameRuns(client->midiEvents());
    ASSERT_FALSE(runs.clocks.empty()) << "no MIDI Start; stderr:\n" << err();
    EXPECT_EQ(runs.startsOnFirstClock, static_cast<int>(runs.clocks.size()));
    EXPECT_EQ(runs.stopsAfterLastClock, static_cast<int>(runs.clocks.size()));
    // Written at the frame of each tick, not at the start of a cycle: the
    // clocks fall on many offsets within the 128-frame periods, and
    // consecutive intervals mostly differ by the rounding of a frame.
    std::vector<int> offsets;
    std::vector<std::int64_t> secondDifferences;
    for (const auto& clocks : runs.clocks) {
        for (std::size_t i = 0; i < clocks.size(); ++i) {
            offsets.push_back(static_cast<int>(clocks[i] % 128));
            if (i >= 2) {
                secondDifferences.push_back(
                    std::llabs(clocks[i] - 2 * clocks[i - 1] + clocks[i - 2]));
            }
        }
    }
    ASSERT_GE(secondDifferences.size(), 200u);
    std::sort(offsets.begin(), offsets.end());
    const auto distinct = std::unique(offsets.begin(), offsets.end()) - offsets.begin();
    EXPECT_GE(distinct, 64) << "clocks at cycle starts only";
    std::sort(secondDifferences.begin(), secondDifferences.end());
    EXPECT_LE(secondDifferences[secondDifferences.size() / 2], 1);
}

TEST_F(LiveProgram, OnItsOwnJackClientAServerThatDiesEndsTheProgramInOneLine) {
    startServer();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
    ASSERT_TRUE(client->ok());
    launch({"--backend", "jack"});
    ASSERT_TRUE(waitUntil([&] { return statusLines() >= 1; }, 15.0)) << err();
    client.reset();
    const auto killed = std::chrono::steady_clock::now();
    server.stop();
    int status = 0;
    ASSERT_TRUE(jack_test::wait_for_exit(pid, 8.0, &status)) << "still running:\n" << err();
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    pid = -1;
    EXPECT_LT(took, 2.0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    // One line about it, and none of the JACK library's own.
    const std::string text = err();
    int jackLines = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("JACK") != std::string::npos || line.find("Jack") != std::string::npos)
            ++jackLines;
    }
    EXPECT_EQ(jackLines, 1) << text;
    EXPECT_EQ(text.find("Cannot"), std::string::npos) << text;
    EXPECT_NE(text.find("kadenzo live: the audio input is gone (the JACK server stopped"),
              std::string::npos)
        << text;
}

TEST_F(LiveProgram, APortOfItsOwnNeedsNoReceiverToExist) {
    startServer();  // no MIDI input anywhere on this server
    launch({"--backend", "jack", "--midi-port", "new:clock"});
    ASSERT_TRUE(waitUntil([&] { return statusLines() >= 1; }, 15.0)) << err();
    client = std::make_unique<livetest::TestClient>("kadenzo-e2e", 0, true);
    ASSERT_TRUE(client->ok());
    EXPECT_EQ(client->ports("^kadenzo:clock$").size(), 1u);
    EXPECT_NE(out().find("MIDI output 0: kadenzo:clock"), std::string::npos) << out();
    // A receiver that connects gets what is sent.
    ASSERT_TRUE(client->connect("kadenzo:clock", client->fullName("midi_in")));
    EXPECT_EQ(terminate(), 0) << err();
}
