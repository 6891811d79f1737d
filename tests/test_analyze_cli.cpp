// `kadenzo analyze` as users run it: the real binary on files written here.
// Bad input gives one line on standard error and exit status 1; usage errors
// exit with 2; the output modes carry the tracker's beats, steps and pulses,
// and the MIDI file's tempo map reproduces the beat times.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "smf_reader.h"
#include "synthetic_drums.h"
#include "temp_dir.h"

#ifndef KADENZO_BINARY
#error "KADENZO_BINARY must name the kadenzo executable"
#endif

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Outcome {
    int status;  // exit status, or 128 + signal
    std::string out, err;
};

Outcome analyze(const TempDir& dir, const std::string& args) {
    const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    const std::string command =
        std::string("'") + KADENZO_BINARY + "' analyze " + args + " >'" + out + "' 2>'" + err + "'";
    const int rc = std::system(command.c_str());
    Outcome r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

// Writes interleaved frames with libsndfile.
void writeAudio(const std::string& path, const std::vector<float>& interleaved, int channels,
                int rate, int format) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    if (!interleaved.empty()) {
        ASSERT_EQ(sf_writef_float(f, interleaved.data(), interleaved.size() / channels),
                  static_cast<sf_count_t>(interleaved.size() / channels));
    }
    sf_close(f);
}

const int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
const int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

std::vector<float> drums(double bpm, double seconds, int rate, synth::Music* music = nullptr) {
    synth::DrumPattern p;
    p.bpm = bpm;
    p.seconds = seconds;
    p.sampleRate = rate;
    const synth::Music m = synth::drums(p);
    if (music) *music = m;
    return std::vector<float>(m.samples.begin(), m.samples.end());
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

struct Beat {
    double time;
    int position;
};

// One beat a line: TIME<TAB>POSITION, the time with exactly three decimals.
bool parseBeatLine(const std::string& line, Beat& beat) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) return false;
    const std::string time = line.substr(0, tab), position = line.substr(tab + 1);
    const std::size_t dot = time.find('.');
    const std::size_t digitsFrom = time[0] == '-' ? 1 : 0;
    if (dot == std::string::npos || dot == digitsFrom || time.size() - dot - 1 != 3) return false;
    for (std::size_t i = digitsFrom; i < time.size(); ++i)
        if (i != dot && !std::isdigit(static_cast<unsigned char>(time[i]))) return false;
    if (position.empty()) return false;
    for (char c : position)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    beat.time = std::stod(time);
    beat.position = std::stoi(position);
    return true;
}

std::vector<Beat> parseBeats(const std::string& text) {
    std::vector<Beat> beats;
    for (const std::string& line : lines(text)) {
        Beat b;
        EXPECT_TRUE(parseBeatLine(line, b)) << "line: " << line;
        beats.push_back(b);
    }
    return beats;
}

// Share of the beats after `settle` seconds within 70 ms of a true beat or
// of a midpoint between true beats.
double hitRate(const std::vector<Beat>& beats, const std::vector<double>& truth, double settle) {
    std::vector<double> grid = truth;
    for (std::size_t i = 0; i + 1 < truth.size(); ++i)
        grid.push_back(0.5 * (truth[i] + truth[i + 1]));
    int judged = 0, hits = 0;
    for (const Beat& b : beats) {
        if (b.time < settle) continue;
        ++judged;
        double d = 1e9;
        for (double g : grid) d = std::min(d, std::fabs(g - b.time));
        hits += d <= 0.070 ? 1 : 0;
    }
    return judged ? static_cast<double>(hits) / judged : 0.0;
}

// ---------------------------------------------------------- bad input

struct BadInput {
    const char* name;
    void (*prepare)(const std::string& path);  // null: nothing at the path
    std::vector<const char*> fragments;        // all in the message
};

TEST(AnalyzeCli, BadInputGivesOneLineAndStatusOne) {
    const std::vector<BadInput> cases = {
        {"missing file", nullptr, {"cannot open", "No such file or directory"}},
        {"folder without audio files", [](const std::string& p) { mkdir(p.c_str(), 0700); },
         {"no audio files in"}},
        {"not audio",
         [](const std::string& p) { std::ofstream(p) << "Just some notes, not audio.\n"; },
         {"is not an audio file"}},
        {"empty file", [](const std::string& p) { std::ofstream{p}; }, {"is empty"}},
        {"no samples",
         [](const std::string& p) { writeAudio(p, {}, 1, 44100, kWav16); },
         {"holds no audio samples"}},
        {"too short",
         [](const std::string& p) { writeAudio(p, drums(120, 0.3, 44100), 1, 44100, kWav16); },
         {"too short to find a meter", "0.30 s"}},
        {"too short after resampling",
         [](const std::string& p) { writeAudio(p, drums(120, 0.5, 22050), 1, 22050, kWav16); },
         {"too short to find a meter"}},
        {"NaN sample",
         [](const std::string& p) {
             std::vector<float> x = drums(120, 3.0, 44100);
             x[44100] = std::nanf("");
             writeAudio(p, x, 1, 44100, kWavFloat);
         },
         {"not a finite number", "at 1.000 s"}},
        {"sample far beyond the range of audio",
         [](const std::string& p) {
             std::vector<float> x = drums(120, 3.0, 44100);
             x[44100] = 3e38f;
             writeAudio(p, x, 1, 44100, kWavFloat);
         },
         {"far beyond the range of audio", "at 1.000 s"}},
        {"sample rate too low to convert",
         [](const std::string& p) { writeAudio(p, std::vector<float>(400, 0.1f), 1, 100, kWav16); },
         {"input.wav", "sample rate of 100 Hz", "cannot be converted"}},
        {"infinite sample in the second channel",
         [](const std::string& p) {
             std::vector<float> x(2 * 88200, 0.1f);
             x[2 * 22050 + 1] = INFINITY;
             writeAudio(p, x, 2, 44100, kWavFloat);
         },
         {"not a finite number", "at 0.500 s"}},
    };
    for (const BadInput& c : cases) {
        TempDir dir;
        const std::string path = dir.file("input.wav");
        if (c.prepare) c.prepare(path);
        const Outcome r = analyze(dir, "'" + path + "'");
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        ASSERT_EQ(lines(r.err).size(), 1u) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.rfind("kadenzo analyze: ", 0), 0u) << c.name << ": " << r.err;
        for (const char* fragment : c.fragments)
            EXPECT_NE(r.err.find(fragment), std::string::npos) << c.name << ": " << r.err;
    }
}

TEST(AnalyzeCli, UsageErrorsExitWithTwo) {
    TempDir dir;
    writeAudio(dir.file("a.wav"), drums(120, 2.0, 44100), 1, 44100, kWav16);
    for (const std::string& args :
         {std::string(""), "--beats --json '" + dir.file("a.wav") + "'",
          "--no-such-option '" + dir.file("a.wav") + "'",
          "--json '" + dir.file("a.wav") + "' '" + dir.file("a.wav") + "'"}) {
        const Outcome r = analyze(dir, args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_NE(r.err, "") << args;
    }
}

TEST(AnalyzeCli, HelpExplainsEveryOption) {
    TempDir dir;
    const Outcome r = analyze(dir, "--help");
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"FILE", "--beats", "--json", "--midi", "--quiet", "--stats"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST(AnalyzeCli, MidiFileThatCannotBeWrittenIsAnError) {
    TempDir dir;
    writeAudio(dir.file("a.wav"), drums(120, 3.0, 44100), 1, 44100, kWav16);
    const Outcome r = analyze(
        dir, "--beats --midi '" + dir.file("no/dir/x.mid") + "' '" + dir.file("a.wav") + "'");
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("cannot write"), std::string::npos);
}

// ------------------------------------------------------------- outputs

TEST(AnalyzeCli, SummaryThenBeatList) {
    TempDir dir;
    writeAudio(dir.file("d.wav"), drums(120, 20.0, 44100), 1, 44100, kWav16);
    const Outcome r = analyze(dir, "'" + dir.file("d.wav") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no progress bar when standard error is not a terminal
    const std::vector<std::string> out = lines(r.out);
    ASSERT_GT(out.size(), 10u);
    EXPECT_NE(out[0].find(dir.file("d.wav")), std::string::npos);
    EXPECT_NE(r.out.find("duration:       20.00 s"), std::string::npos) << r.out;
    const std::size_t tempo = r.out.find("\ntempo:");
    ASSERT_NE(tempo, std::string::npos);
    char* end = nullptr;
    const double bpm = std::strtod(r.out.c_str() + tempo + 7, &end);
    EXPECT_EQ(std::string(end, 12), " BPM median ");
    EXPECT_TRUE(std::fabs(bpm - 120) < 2.4 || std::fabs(bpm - 60) < 1.2 ||
                std::fabs(bpm - 240) < 4.8)
        << bpm;
    EXPECT_NE(r.out.find("beats per bar:"), std::string::npos);
    // The beat list follows the blank line and its heading.
    const auto heading = std::find(out.begin(), out.end(), "beat time (s)\tposition in bar");
    ASSERT_NE(heading, out.end());
    std::string rest;
    for (auto it = heading + 1; it != out.end(); ++it) rest += *it + "\n";
    const Outcome beats = analyze(dir, "--beats '" + dir.file("d.wav") + "'");
    EXPECT_EQ(rest, beats.out);
}

TEST(AnalyzeCli, BeatsAreAccurateAndCountWithinBars) {
    TempDir dir;
    synth::Music music;
    writeAudio(dir.file("d.wav"), drums(132, 25.0, 44100, &music), 1, 44100, kWav16);
    const Outcome r = analyze(dir, "--beats '" + dir.file("d.wav") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Beat> beats = parseBeats(r.out);
    ASSERT_GT(beats.size(), 20u);
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_GE(beats[i].time, 0.0);
        EXPECT_GE(beats[i].position, 1);
        if (i > 0) {
            EXPECT_GT(beats[i].time, beats[i - 1].time);
            // Positions count up within a bar and restart at 1.
            EXPECT_TRUE(beats[i].position == 1 || beats[i].position == beats[i - 1].position + 1)
                << "beat " << i;
        }
    }
    EXPECT_GE(hitRate(beats, music.beats, 5.0), 0.9);
}

TEST(AnalyzeCli, StereoAtAnotherRateIsMixedAndResampled) {
    TempDir dir;
    synth::Music music;
    const std::vector<float> mono = drums(104, 15.0, 48000, &music);
    std::vector<float> stereo(2 * mono.size());
    for (std::size_t i = 0; i < mono.size(); ++i) {
        stereo[2 * i] = mono[i];
        stereo[2 * i + 1] = -0.5f * mono[i];  // the mix keeps a quarter of the signal
    }
    writeAudio(dir.file("s.flac"), stereo, 2, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const Outcome summary = analyze(dir, "'" + dir.file("s.flac") + "'");
    ASSERT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("48000 Hz, 2 channels, resampled to 44100 Hz"), std::string::npos)
        << summary.out;
    const Outcome r = analyze(dir, "--beats '" + dir.file("s.flac") + "'");
    EXPECT_GE(hitRate(parseBeats(r.out), music.beats, 5.0), 0.9);
}

TEST(AnalyzeCli, JsonHoldsEveryStepAndThePulseLists) {
    TempDir dir;
    writeAudio(dir.file("d.wav"), drums(96, 12.0, 44100), 1, 44100, kWav16);
    const Outcome r = analyze(dir, "--json '" + dir.file("d.wav") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["file"], dir.file("d.wav"));
    EXPECT_DOUBLE_EQ(j["duration"].get<double>(), 12.0);
    EXPECT_DOUBLE_EQ(j["accent_rate"].get<double>(), 172.265625);
    EXPECT_EQ(j["tracking_model"], "enhanced");  // the default without --model
    // 12 s: (2 * ((529200 - 1024) / 512 + 1) - 11) / 86 steps.
    const unsigned expectedSteps = (2 * ((529200 - 1024) / 512 + 1) - 11) / 86;
    ASSERT_EQ(j["steps"].size(), expectedSteps);
    for (unsigned s = 0; s < expectedSteps; ++s) {
        const nlohmann::json& step = j["steps"][s];
        EXPECT_EQ(step["index"], s);
        EXPECT_NEAR(step["time"].get<double>(), (s + 1) * 86 / 172.265625, 1e-9);
        for (const char* level : {"tatum", "beat", "bar"}) {
            EXPECT_GT(step[level]["period"].get<double>(), 0.0);
            EXPECT_TRUE(step[level]["phase"].is_number());
        }
        EXPECT_EQ(step["tatum"]["phase"], step["beat"]["phase"]);
    }
    // Pulse lists: the first pulse of each is the first step's phase.
    EXPECT_EQ(j["pulses"]["beat"][0], j["steps"][0]["beat"]["phase"]);
    EXPECT_EQ(j["pulses"]["bar"][0], j["steps"][0]["bar"]["phase"]);
    EXPECT_EQ(j["pulses"]["tatum"][0], j["steps"][0]["tatum"]["phase"]);
    EXPECT_GE(j["pulses"]["tatum"].size(), j["pulses"]["beat"].size());
    EXPECT_GE(j["pulses"]["beat"].size(), j["pulses"]["bar"].size());
    // The beats are the beat pulses from time 0 on.
    std::vector<double> fromZero;
    for (double t : j["pulses"]["beat"])
        if (t >= 0.0) fromZero.push_back(t);
    ASSERT_EQ(j["beats"].size(), fromZero.size());
    for (std::size_t i = 0; i < fromZero.size(); ++i)
        EXPECT_EQ(j["beats"][i]["time"].get<double>(), fromZero[i]);
}

TEST(AnalyzeCli, AFileNameThatIsNotUtf8StillGivesValidJson) {
    TempDir dir;
    const std::string name = dir.file("caf\xe9-\xff.wav");  // Latin-1 bytes
    writeAudio(name, drums(120, 6.0, 44100), 1, 44100, kWav16);
    const Outcome r = analyze(dir, "--json '" + name + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_NE(j["file"].get<std::string>().find("caf\xef\xbf\xbd-\xef\xbf\xbd.wav"),
              std::string::npos)
        << "invalid bytes become U+FFFD";
}

TEST(AnalyzeCli, PositionsNeverExceedTheBeatsPerBar) {
    TempDir dir;
    for (const std::string& path : {std::string(KADENZO_DEMO), dir.file("d.wav")}) {
        if (path != KADENZO_DEMO) writeAudio(path, drums(171, 30.0, 44100), 1, 44100, kWav16);
        const Outcome r = analyze(dir, "--json '" + path + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out);
        const int perBar = j["beats_per_bar"].get<int>();
        for (const nlohmann::json& beat : j["beats"]) {
            EXPECT_GE(beat["position"].get<int>(), 1) << path;
            EXPECT_LE(beat["position"].get<int>(), perBar) << path;
        }
    }
}

TEST(AnalyzeCli, DiagnosticsOfTheTrackerStayOffStandardOutput) {
    // Silence makes the tracker report steps without any period.
    TempDir dir;
    writeAudio(dir.file("q.wav"), std::vector<float>(44100 * 4, 0.0f), 1, 44100, kWav16);
    const Outcome r = analyze(dir, "--beats '" + dir.file("q.wav") + "'");
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
}

TEST(AnalyzeCli, MidiTempoMapReproducesTheBeats) {
    TempDir dir;
    writeAudio(dir.file("d.wav"), drums(117, 20.0, 44100), 1, 44100, kWav16);
    const std::string mid = dir.file("d.mid");
    const Outcome r =
        analyze(dir, "--quiet --beats --midi '" + mid + "' '" + dir.file("d.wav") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Beat> beats = parseBeats(r.out);
    ASSERT_GT(beats.size(), 10u);

    const std::string text = readFile(mid);
    const smf::File f = smf::parse(std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(f.format, 1);
    EXPECT_EQ(f.division, 480);
    ASSERT_EQ(f.tracks.size(), 2u);

    // One beat note (low wood block) per beat, one bar note (high wood
    // block) per bar start, on quarter-note ticks; a tempo event at each beat.
    std::vector<std::uint32_t> beatTicks, barTicks, tempoTicks;
    for (const smf::Event& e : f.tracks[1])
        if (e.status == 0x99 && e.data[1] > 0)
            (e.data[0] == 77 ? beatTicks : barTicks).push_back(e.tick);
    for (const smf::Event& e : f.tracks[0])
        if (e.status == 0xFF && e.metaType == 0x51) tempoTicks.push_back(e.tick);
    ASSERT_EQ(beatTicks.size(), beats.size());
    for (std::size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(beatTicks[i] % 480, 0u);
        EXPECT_EQ(beatTicks[i], beatTicks[0] + 480 * i);
        EXPECT_NEAR(f.seconds(beatTicks[i]), beats[i].time, 0.0015) << "beat " << i;
        EXPECT_NE(std::find(tempoTicks.begin(), tempoTicks.end(), beatTicks[i]), tempoTicks.end());
    }
    const long starts =
        std::count_if(beats.begin(), beats.end(), [](const Beat& b) { return b.position == 1; });
    EXPECT_EQ(static_cast<long>(barTicks.size()), starts);
}

TEST(AnalyzeCli, BundledDemoFollowsItsTempoChange) {
    // data/demo.flac (tools/make_demo.py): 4/4 from 0.25 s, five bars at
    // 100 BPM, then seven bars at 128 BPM.
    std::vector<double> truth;
    double t = 0.25;
    for (int i = 0; i < 20; ++i, t += 0.6) truth.push_back(t);
    for (int i = 0; i < 28; ++i, t += 60.0 / 128.0) truth.push_back(t);
    TempDir dir;
    const Outcome r = analyze(dir, "--beats '" KADENZO_DEMO "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Beat> beats = parseBeats(r.out);
    EXPECT_GE(beats.size(), 40u);
    EXPECT_GE(hitRate(beats, truth, 5.0), 0.9);
}

}  // namespace
