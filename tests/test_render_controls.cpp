// The performer's controls scripted through `kadenzo render --controls`, on
// synthetic drums with known beats and bars: taps that fix a clock at the
// wrong metrical level and keep it right through a later tempo change,
// "bar 1", tempo factors without clock gaps, nudge, hold, Start on a bar,
// and scripts with mistakes.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render.h"
#include "synthetic_drums.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<float> floats(const synth::Music& m) {
    return std::vector<float>(m.samples.begin(), m.samples.end());
}

std::vector<TimedControl> script(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> errors;
    std::vector<TimedControl> controls = parse_control_script(in, &errors);
    EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.front());
    return controls;
}

// The clock as a slaved sequencer sees it: every 24th Clock from each Start.
std::vector<double> clock_beats(const std::vector<midioutput_record>& messages) {
    std::vector<double> beats;
    int count = -1;
    for (const midioutput_record& r : messages) {
        if (r.bytes == Bytes{0xFA}) count = 0;
        if (r.bytes == Bytes{0xFC}) count = -1;
        if (r.bytes == Bytes{0xF8} && count >= 0) {
            if (count % 24 == 0) beats.push_back(r.time);
            ++count;
        }
    }
    return beats;
}

std::vector<double> times_of(const std::vector<midioutput_record>& messages, const Bytes& bytes) {
    std::vector<double> times;
    for (const midioutput_record& r : messages)
        if (r.bytes == bytes) times.push_back(r.time);
    return times;
}

std::vector<double> between(const std::vector<double>& times, double from, double to) {
    std::vector<double> kept;
    for (double t : times)
        if (t >= from && t < to) kept.push_back(t);
    return kept;
}

// Beat F-measure at +-70 ms (each reference matched once), over [from, to).
double f_measure(const std::vector<double>& estimated, const std::vector<double>& reference,
                 double from, double to) {
    const std::vector<double> est = between(estimated, from, to);
    const std::vector<double> ref = between(reference, from, to);
    if (est.empty() || ref.empty()) return 0.0;
    std::vector<bool> used(ref.size(), false);
    int hits = 0;
    for (double t : est) {
        for (size_t j = 0; j < ref.size(); ++j) {
            if (!used[j] && std::fabs(ref[j] - t) <= 0.070) {
                used[j] = true;
                ++hits;
                break;
            }
        }
    }
    return 2.0 * hits / static_cast<double>(est.size() + ref.size());
}

// The true beat nearest t.
double nearest(const std::vector<double>& beats, double t) {
    double best = beats.front();
    for (double b : beats)
        if (std::fabs(b - t) < std::fabs(best - t)) best = b;
    return best;
}

// Four taps on true beats from `from` on, with the error of a human hand.
std::string four_taps(const std::vector<double>& beats, double from) {
    const double errors[] = {0.008, -0.010, 0.005, -0.007};
    std::ostringstream text;
    auto b = std::lower_bound(beats.begin(), beats.end(), from);
    for (int i = 0; i < 4; ++i, ++b) text << *b + errors[i] << " tap\n";
    return text.str();
}

// A clock at the wrong metrical level: four taps on the true beats put it
// right within two seconds, and it stays right to the end, through a later
// tempo change of the music where there is one.
struct LevelCase {
    const char* name;
    double bpm, bpm_after;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << c.name;
}

class TapsFixTheLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(TapsFixTheLevel, FromTwoSecondsAfterTheLastTapToTheEnd) {
    const LevelCase c = GetParam();
    synth::DrumPattern pattern;
    pattern.bpm = c.bpm;
    pattern.firstBeat = 0.3;
    const synth::Music music = synth::tempo_change(pattern, 25.0, c.bpm_after, 50.0);
    const std::vector<float> audio = floats(music);

    // The fixture's fault: untouched, the clock runs at another level.
    const RenderOutcome plain = render_engine(audio, RenderSettings{});
    ASSERT_TRUE(plain.ok);
    EXPECT_LT(f_measure(clock_beats(plain.messages), music.beats, 10.0, 49.0), 0.75)
        << "the clock must start at the wrong level for this test to mean anything";

    RenderSettings settings;
    settings.controls = script(four_taps(music.beats, 10.0));
    ASSERT_EQ(settings.controls.size(), 4u);
    const double last_tap = settings.controls.back().time;
    const RenderOutcome tapped = render_engine(audio, settings);
    ASSERT_TRUE(tapped.ok);
    const std::vector<double> beats = clock_beats(tapped.messages);
    EXPECT_GE(f_measure(beats, music.beats, last_tap + 2.0, 49.0), 0.9);
    EXPECT_GE(f_measure(beats, music.beats, 35.0, 49.0), 0.9) << "after the tempo change";
    EXPECT_GE(f_measure(beats, music.beats, last_tap + 2.0, 25.0), 0.9) << "before it";
    EXPECT_EQ(times_of(tapped.messages, {0xFA}).size(), 1u) << "no Stop and Start on the way";
}

INSTANTIATE_TEST_SUITE_P(Levels, TapsFixTheLevel,
                         testing::Values(LevelCase{"half tempo, then slower", 180.0, 164.0},
                                         LevelCase{"half tempo, then faster", 172.0, 190.0},
                                         LevelCase{"double tempo", 60.0, 60.0},
                                         LevelCase{"double tempo, slow", 66.0, 66.0}));

// "bar1" on a beat: every later bar note falls on that beat's position in
// the bar of the music, whichever position the performer chose.
class BarOne : public testing::TestWithParam<int> {};

TEST_P(BarOne, EveryLaterBarNoteFallsOnTheChosenBeat) {
    const int position = GetParam();  // 0: the true downbeat
    synth::DrumPattern pattern;
    pattern.bpm = 112.0;
    pattern.firstBeat = 0.3;
    pattern.seconds = 40.0;
    const synth::Music music = synth::drums(pattern);
    // The beats at the chosen position of every bar.
    std::vector<double> chosen;
    for (double bar : music.bars) chosen.push_back(bar + position * 60.0 / pattern.bpm);
    const double press = nearest(chosen, 12.0) + 0.02;  // a little late, as hands are

    RenderSettings settings;
    settings.notes = true;
    settings.controls = script(std::to_string(press) + " bar1\n");
    const RenderOutcome outcome = render_engine(floats(music), settings);
    ASSERT_TRUE(outcome.ok);
    const std::vector<double> bar_notes = times_of(outcome.messages, {0x90, 64, 127});
    EXPECT_GE(f_measure(bar_notes, chosen, press + 60.0 / pattern.bpm, 39.0), 0.9)
        << "bar 1 on beat " << position + 1;
}

INSTANTIATE_TEST_SUITE_P(Positions, BarOne, testing::Values(0, 1, 3));

// "tempo 2" then "tempo 1/2": double and then the original tempo, each from
// the next beat on, 24 clocks to every beat and no gap between clocks.
TEST(RenderControls, TempoTwoThenHalfWithoutClockGaps) {
    synth::DrumPattern pattern;
    pattern.bpm = 100.0;
    pattern.firstBeat = 0.3;
    pattern.seconds = 30.0;
    const synth::Music music = synth::drums(pattern);
    const double P = 0.6;
    RenderSettings settings;
    settings.controls = script("12.05 tempo 2\n20.05 tempo 1/2\n");
    const RenderOutcome outcome = render_engine(floats(music), settings);
    ASSERT_TRUE(outcome.ok);
    const std::vector<double> beats = clock_beats(outcome.messages);
    const std::vector<double> clocks = times_of(outcome.messages, {0xF8});
    ASSERT_GT(beats.size(), 30u);
    auto interval_after = [&](double t) {
        const auto b = std::lower_bound(beats.begin(), beats.end(), t);
        return *(b + 1) - *b;
    };
    // The next beat after each press (at least a tenth of a beat on) starts
    // the new tempo; the beat before it is still the old one.
    const double first_fast = *std::lower_bound(beats.begin(), beats.end(), 12.05 + 0.1 * P);
    EXPECT_NEAR(interval_after(first_fast - 0.01), P / 2, 0.02 * P);
    EXPECT_NEAR(interval_after(first_fast - P - 0.01), P, 0.05 * P);
    EXPECT_NEAR(interval_after(16.0), P / 2, 0.02 * P);
    const double first_slow =
        *std::lower_bound(beats.begin(), beats.end(), 20.05 + 0.1 * P / 2);
    EXPECT_NEAR(interval_after(first_slow - 0.01), P, 0.02 * P);
    EXPECT_NEAR(interval_after(first_slow - P / 2 - 0.01), P / 2, 0.05 * P);
    EXPECT_NEAR(interval_after(25.0), P, 0.02 * P);
    // No gaps: every Clock follows the one before within a 24th of the
    // slower of the two beats around it, with a little slack.
    for (size_t i = 1; i < clocks.size(); ++i) {
        if (clocks[i] < 6.0) continue;
        EXPECT_LT(clocks[i] - clocks[i - 1], 1.2 * P / 24) << "Clock at " << clocks[i];
    }
    EXPECT_EQ(times_of(outcome.messages, {0xFA}).size(), 1u);
    EXPECT_EQ(times_of(outcome.messages, {0xFC}).size(), 1u) << "only the Stop at the end";
}

TEST(RenderControls, NudgeMovesTheClockByItsStep) {
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.firstBeat = 0.3;
    pattern.seconds = 25.0;
    const std::vector<float> audio = floats(synth::drums(pattern));
    const RenderOutcome plain = render_engine(audio, RenderSettings{});
    RenderSettings settings;
    settings.controls = script("10.0 nudge 10\n10.2 nudge 10\n12.0 nudge -5\n");
    const RenderOutcome nudged = render_engine(audio, settings);
    ASSERT_TRUE(plain.ok && nudged.ok);
    const std::vector<double> a = between(clock_beats(plain.messages), 14.0, 24.0);
    const std::vector<double> b = clock_beats(nudged.messages);
    ASSERT_GT(a.size(), 15u);
    int moved = 0;
    for (double t : a) moved += std::fabs(nearest(b, t + 0.015) - (t + 0.015)) < 0.001;
    EXPECT_GE(moved, static_cast<int>(a.size()) * 9 / 10) << "beats 15 ms later";
}

// Hold through a tempo change of the music: the clock keeps the held tempo
// until the release, then follows again.
TEST(RenderControls, HoldFreeRunsUntilTheRelease) {
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
    pattern.firstBeat = 0.3;
    const synth::Music music = synth::tempo_change(pattern, 15.0, 132.0, 40.0);
    RenderSettings settings;
    settings.controls = script("12.0 hold on\n24.0 hold off\n");
    const RenderOutcome outcome = render_engine(floats(music), settings);
    ASSERT_TRUE(outcome.ok);
    const std::vector<double> beats = clock_beats(outcome.messages);
    const std::vector<double> held = between(beats, 13.0, 24.0);
    ASSERT_GT(held.size(), 10u);
    for (size_t i = 1; i < held.size(); ++i)
        EXPECT_NEAR(held[i] - held[i - 1], 0.5, 0.002) << "held at " << held[i];
    const std::vector<double> after = between(beats, 32.0, 39.0);
    ASSERT_GT(after.size(), 5u);
    for (size_t i = 1; i < after.size(); ++i)
        EXPECT_NEAR(after[i] - after[i - 1], 60.0 / 132.0, 0.01) << "following at " << after[i];
    EXPECT_GE(f_measure(beats, music.beats, 32.0, 39.0), 0.9);
}

// Start on bar: the clock's Start waits for the beat that starts a bar.
TEST(RenderControls, StartOnBarStartsOnABarNote) {
    synth::DrumPattern pattern;
    pattern.bpm = 112.0;
    pattern.firstBeat = 0.3;
    pattern.seconds = 25.0;
    RenderSettings settings;
    settings.notes = true;
    settings.controls = script("0 start-on-bar on\n");
    const RenderOutcome outcome = render_engine(floats(synth::drums(pattern)), settings);
    ASSERT_TRUE(outcome.ok);
    const std::vector<double> starts = times_of(outcome.messages, {0xFA});
    ASSERT_EQ(starts.size(), 1u);
    const std::vector<double> bar_notes = times_of(outcome.messages, {0x90, 64, 127});
    ASSERT_FALSE(bar_notes.empty());
    EXPECT_NEAR(nearest(bar_notes, starts[0]), starts[0], 1e-9);
}

// ---- The script on the command line ----------------------------------------------

std::string temp_path(const std::string& name) {
    return testing::TempDir() + "kadenzo_controls_" + std::to_string(getpid()) + "_" + name;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

void write_wav(const std::string& path, const std::vector<float>& mono) {
    SF_INFO info = {};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, mono.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
}

int run(std::vector<std::string> args, std::string* err) {
    args.insert(args.begin(), "render");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_render(static_cast<int>(argv.size()), argv.data());
    testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
    return status;
}

TEST(RenderControlsCli, BadLinesAreReportedWithTheirNumbersAndNothingIsRendered) {
    synth::DrumPattern pattern;
    pattern.seconds = 5.0;
    const std::string wav = temp_path("in.wav"), controls = temp_path("controls.txt"),
                      log = temp_path("out.txt");
    write_wav(wav, floats(synth::drums(pattern)));
    write_text(controls,
               "# a comment line, then a blank one\n"
               "\n"
               "1.0 tap   # taps come with their time\n"
               "1.5 tempo 3\n"
               "two tap\n"
               "2.0 hold\n"
               "2.5 nudge ten\n"
               "3.0 jump\n"
               "-1 reset\n"
               "3.5 bar1 now\n"
               "4.0 start-on-bar maybe\n"
               "4.5 reset\n");
    std::remove(log.c_str());
    std::string err;
    EXPECT_EQ(run({wav, "--controls", controls, "--log", log}, &err), 2);
    for (int line : {4, 5, 6, 7, 8, 9, 10, 11})
        EXPECT_NE(err.find("line " + std::to_string(line) + ":"), std::string::npos)
            << "line " << line << " in:\n" << err;
    for (int line : {1, 2, 3, 12})
        EXPECT_EQ(err.find("line " + std::to_string(line) + ":"), std::string::npos) << err;
    EXPECT_FALSE(std::ifstream(log).good()) << "the render did not start";

    // A good script renders, and its controls act: a clock at half tempo.
    write_text(controls, "0.5 tempo 1/2\n");
    EXPECT_EQ(run({wav, "--controls", controls, "--log", log}, &err), 0) << err;
    EXPECT_TRUE(std::ifstream(log).good());
    EXPECT_NE(run({wav, "--controls", temp_path("missing.txt")}, &err), 0);
    EXPECT_NE(err.find("missing.txt"), std::string::npos) << err;
    for (const std::string& path : {wav, controls, log}) std::remove(path.c_str());
}

TEST(RenderControlsCli, EveryControlReadsBackAsItsWords) {
    for (const char* words : {"tap", "tempo 2", "tempo 1/2", "tempo 3/2", "tempo 2/3",
                              "nudge -12.5", "bar1", "hold on", "hold off", "reset",
                              "start-on-bar on", "start-on-bar off"}) {
        Control control;
        std::string error;
        ASSERT_TRUE(parse_control(split_words(words), &control, &error)) << words << ": " << error;
        EXPECT_EQ(control_text(control), words);
    }
}

}  // namespace
