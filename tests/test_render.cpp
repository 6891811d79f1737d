// `kadenzo render`: the engine over synthetic music with a known tempo on a
// virtual clock, and the files it writes (Standard MIDI File and text log).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "render.h"
#include "midi_file.h"
#include "render_midi.h"
#include "synthetic_drums.h"

namespace {

using Bytes = std::vector<unsigned char>;

const double kFirstBeat = 0.3;

std::vector<float> drums(double bpm, double seconds, double sample_rate = 44100.0) {
    synth::DrumPattern pattern;
    pattern.bpm = bpm;
    pattern.seconds = seconds;
    pattern.firstBeat = kFirstBeat;
    pattern.sampleRate = sample_rate;
    const synth::Music m = synth::drums(pattern);
    return std::vector<float>(m.samples.begin(), m.samples.end());
}

std::vector<double> times_of(const std::vector<midioutput_record>& records, unsigned char status) {
    std::vector<double> times;
    for (const midioutput_record& r : records) {
        if (!r.bytes.empty() && r.bytes[0] == status) times.push_back(r.time);
    }
    return times;
}

// Distance from t to the nearest true beat.
double beat_error(double t, double bpm) {
    const double period = 60.0 / bpm;
    return std::fabs(t - (kFirstBeat + std::round((t - kFirstBeat) / period) * period));
}

// Distance from t to the nearest beat of the grid a clock at `tempo` follows:
// the true beats, or the true beats and the midpoints between them when the
// clock runs at double tempo (half tempo falls on true beats).
double start_error(double t, double bpm, double tempo) {
    const bool double_tempo = std::fabs(tempo / (2 * bpm) - 1) < std::fabs(tempo / bpm - 1);
    return beat_error(t, double_tempo ? 2 * bpm : bpm);
}

// The tempo of the 24-per-beat clock over the clocks sent from `from` on.
double clock_tempo(const std::vector<double>& clocks, double from) {
    std::vector<double> steady;
    for (double t : clocks) {
        if (t >= from) steady.push_back(t);
    }
    if (steady.size() < 2) return 0.0;
    return 60.0 * (steady.size() - 1) / 24.0 / (steady.back() - steady.front());
}

// The tempo, or its half or double, whichever is nearest to the truth.
double relative_tempo_error(double tempo, double bpm) {
    double best = 1e9;
    for (double factor : {0.5, 1.0, 2.0})
        best = std::min(best, std::fabs(tempo / (bpm * factor) - 1));
    return best;
}

class RenderTempo : public testing::TestWithParam<double> {};

TEST_P(RenderTempo, TheClockFollowsTheMusicsTempo) {
    const double bpm = GetParam();
    const RenderOutcome outcome = render_engine(drums(bpm, 40.0), RenderSettings{});
    ASSERT_TRUE(outcome.ok) << outcome.error;
    const auto starts = times_of(outcome.messages, 0xFA);
    const auto clocks = times_of(outcome.messages, 0xF8);
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_GT(clocks.size(), 24u * 20);
    EXPECT_GE(clocks.front(), starts.front()) << "no Clock before Start";
    const double tempo = clock_tempo(clocks, 15.0);
    EXPECT_LT(relative_tempo_error(tempo, bpm), 0.01) << "clock tempo " << tempo;
    // The clock was switched on before the first estimate: Start waits for a
    // settled beat grid and then lands on a beat of the grid the clock keeps.
    EXPECT_LT(start_error(starts.front(), bpm, tempo), 0.070)
        << "Start at " << starts.front() << ", clock tempo " << tempo;
}

TEST_P(RenderTempo, AClockSwitchedOnLaterStartsOnABeat) {
    const double bpm = GetParam();
    RenderSettings settings;
    settings.clock_on_at = 8.0;
    const RenderOutcome outcome = render_engine(drums(bpm, 30.0), settings);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    const auto starts = times_of(outcome.messages, 0xFA);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_GE(starts.front(), 8.0);
    EXPECT_LE(starts.front(), 8.0 + 2 * 60.0 / bpm) << "Start at the next beat tick";
    EXPECT_LT(beat_error(starts.front(), bpm), 0.070) << "Start at " << starts.front();
    const double tempo = clock_tempo(times_of(outcome.messages, 0xF8), 15.0);
    EXPECT_LT(relative_tempo_error(tempo, bpm), 0.01) << "clock tempo " << tempo;
}

INSTANTIATE_TEST_SUITE_P(Tempi, RenderTempo,
                         testing::Values(70.0, 80.0, 97.0, 110.0, 120.0, 150.0, 170.0));

TEST(Render, OutputsAsTheApplicationSwitchesThem) {
    const std::vector<float> audio = drums(120.0, 12.0);
    for (bool notes : {false, true}) {
        RenderSettings settings;
        settings.notes = notes;
        const RenderOutcome outcome = render_engine(audio, settings);
        ASSERT_TRUE(outcome.ok);
        int note_messages = 0, bar_ctrl = 0, beat_ctrl = 0, other = 0;
        ASSERT_FALSE(outcome.messages.empty());
        EXPECT_EQ(outcome.messages.back().bytes, Bytes{0xFC}) << "Stop at the end of the music";
        for (const midioutput_record& r : outcome.messages) {
            if (&r == &outcome.messages.back()) break;
            const unsigned char status = r.bytes[0];
            if (status == 0x90 || status == 0x80) {
                ++note_messages;
                EXPECT_TRUE(r.bytes[1] >= 64 && r.bytes[1] <= 66);
            } else if (status == 0xB0 && r.bytes[1] == 64) {
                ++bar_ctrl;
            } else if (status == 0xB0 && r.bytes[1] == 65) {
                ++beat_ctrl;
            } else if (status != 0xF8 && status != 0xFA) {
                ++other;
            }
            // Stamped with the time it belongs to, which the timer pass that
            // sent it had just passed.
            const double lead = r.clock_time - r.time;
            EXPECT_GE(lead, -1e-9);
            EXPECT_LT(lead, 0.001 + 1e-9);
        }
        EXPECT_EQ(note_messages > 0, notes);
        EXPECT_GT(bar_ctrl, 0) << "phase output is on";
        EXPECT_GT(beat_ctrl, bar_ctrl);
        EXPECT_EQ(other, 0) << "no tatum controller, no Stop";
    }
}

TEST(Render, TheAntiDelayAdvancesEveryTickBy50Milliseconds) {
    const std::vector<float> audio = drums(110.0, 20.0);
    RenderSettings plain;
    plain.notes = true;
    RenderSettings early = plain;
    early.anti_delay = 0.05;
    const auto beats = [](const RenderOutcome& o) {
        std::vector<double> t;
        for (const midioutput_record& r : o.messages) {
            if (r.bytes == Bytes{0x90, 65, 127}) t.push_back(r.time);
        }
        return t;
    };
    const auto a = beats(render_engine(audio, plain));
    const auto b = beats(render_engine(audio, early));
    ASSERT_GT(a.size(), 20u);
    // Match every beat of the plain run after 5 s with the early one. The
    // early run decides each beat 50 ms sooner, sometimes before an estimate
    // the plain run already had: most beats move by exactly 50 ms, none by
    // much more or less.
    int matched = 0, exact = 0;
    for (double t : a) {
        if (t < 5.0) continue;
        double nearest = 1e9;
        for (double u : b) nearest = std::min(nearest, std::fabs(t - 0.05 - u));
        EXPECT_LE(nearest, 0.005) << "beat at " << t;
        ++matched;
        exact += nearest < 1e-6;
    }
    EXPECT_GT(matched, 20);
    EXPECT_GE(exact, matched / 2);
}

TEST(Render, ThePredictionLogHasALinePerEstimateWithTheNextTicks) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    RenderSettings settings;
    settings.prediction_log = log;
    ASSERT_TRUE(render_engine(drums(120.0, 10.0), settings).ok);
    std::rewind(log);
    int lines = 0;
    double t, beat, next_beat, bar, next_bar, tatum, next_tatum;
    while (std::fscanf(log, "%lf %lf %lf %lf %lf %lf %lf", &t, &beat, &next_beat, &bar, &next_bar,
                       &tatum, &next_tatum) == 7) {
        ++lines;
        for (const auto& [period, next] :
             {std::pair{beat, next_beat}, std::pair{bar, next_bar}, std::pair{tatum, next_tatum}}) {
            EXPECT_GT(next, t);
            EXPECT_LE(next, t + period + 1e-6);
        }
    }
    std::fclose(log);
    EXPECT_GE(lines, 17) << "two estimates a second";
    EXPECT_LE(lines, 20);
}

TEST(Render, IsDeterministic) {
    const std::vector<float> audio = drums(97.0, 10.0);
    RenderSettings settings;
    settings.notes = true;
    const RenderOutcome a = render_engine(audio, settings);
    const RenderOutcome b = render_engine(audio, settings);
    ASSERT_EQ(a.messages.size(), b.messages.size());
    for (size_t i = 0; i < a.messages.size(); ++i) {
        EXPECT_EQ(a.messages[i].time, b.messages[i].time);
        EXPECT_EQ(a.messages[i].bytes, b.messages[i].bytes);
    }
}

TEST(Render, SilenceAndEmptyAudio) {
    const RenderOutcome empty = render_engine({}, RenderSettings{});
    EXPECT_TRUE(empty.ok);
    EXPECT_TRUE(empty.messages.empty());
    const RenderOutcome silence =
        render_engine(std::vector<float>(44100 * 5, 0.0f), RenderSettings{});
    EXPECT_TRUE(silence.ok);
    EXPECT_NEAR(silence.audio_seconds, 5.0, 1e-9);
}

TEST(Render, WithoutASteadyBeatTheClockNeitherStartsNorRuns) {
    synth::Noise noise(9);
    std::vector<float> hiss(44100 * 30);
    for (float& v : hiss) v = static_cast<float>(0.3 * noise.next());
    for (const auto& input : {std::vector<float>(44100 * 30, 0.0f), hiss}) {
        const RenderOutcome outcome = render_engine(input, RenderSettings{});
        ASSERT_TRUE(outcome.ok);
        EXPECT_TRUE(times_of(outcome.messages, 0xFA).empty()) << "no Start";
        EXPECT_TRUE(times_of(outcome.messages, 0xF8).empty()) << "no Clock";
    }
}

TEST(Render, TheClockStopsWhenTheBeatGoesAndStartsAgainWhenItComesBack) {
    // 20 s of drums, 15 s of noise, 20 s of drums.
    std::vector<float> audio = drums(120.0, 55.0);
    synth::Noise noise(4);
    for (std::size_t i = 44100 * 20; i < 44100 * 35; ++i) audio[i] = static_cast<float>(0.3 * noise.next());
    const RenderOutcome outcome = render_engine(audio, RenderSettings{});
    ASSERT_TRUE(outcome.ok);
    const auto starts = times_of(outcome.messages, 0xFA);
    const auto stops = times_of(outcome.messages, 0xFC);
    ASSERT_EQ(starts.size(), 2u);
    ASSERT_GE(stops.size(), 2u) << "in the noise and at the end";
    EXPECT_LT(starts[0], 20.0);
    EXPECT_GT(stops[0], 20.0);
    EXPECT_LT(stops[0], 35.0);
    EXPECT_GT(starts[1], 35.0);
    EXPECT_LT(beat_error(starts[1], 120.0), 0.070) << "back on a beat";
    for (double t : times_of(outcome.messages, 0xF8))
        EXPECT_FALSE(t > stops[0] && t < starts[1]) << "no Clock while stopped, at " << t;
}

// ---- Files -------------------------------------------------------------------------

struct SmfEvent {
    long tick;
    Bytes bytes;  // for F7 escapes: the escaped bytes; for meta events: FF, type, data
};

struct Smf {
    int format = -1, division = -1;
    std::vector<std::vector<SmfEvent>> tracks;
};

// A reader that follows the file format (running status included).
Smf parse_smf(const Bytes& data) {
    Smf smf;
    size_t p = 0;
    auto u32 = [&] {
        const unsigned v =
            data.at(p) << 24 | data.at(p + 1) << 16 | data.at(p + 2) << 8 | data.at(p + 3);
        p += 4;
        return v;
    };
    auto u16 = [&] {
        const unsigned v = data.at(p) << 8 | data.at(p + 1);
        p += 2;
        return v;
    };
    auto vlq = [&] {
        unsigned v = 0;
        unsigned char c;
        do {
            c = data.at(p++);
            v = v << 7 | (c & 0x7F);
        } while (c & 0x80);
        return v;
    };
    auto chunk = [&](const char* id) {
        EXPECT_EQ(std::string(data.begin() + p, data.begin() + p + 4), id);
        p += 4;
        return u32();
    };
    EXPECT_EQ(chunk("MThd"), 6u);
    smf.format = u16();
    const unsigned tracks = u16();
    smf.division = u16();
    for (unsigned t = 0; t < tracks; ++t) {
        const unsigned length = chunk("MTrk");
        const size_t end = p + length;
        std::vector<SmfEvent> events;
        long tick = 0;
        unsigned char running = 0;
        bool ended = false;
        while (p < end) {
            EXPECT_FALSE(ended) << "events after the end of track";
            tick += vlq();
            unsigned char status = data.at(p);
            if (status & 0x80) {
                ++p;
            } else {
                status = running;
            }
            if (status == 0xFF) {
                const unsigned char type = data.at(p++);
                const unsigned n = vlq();
                Bytes bytes = {0xFF, type};
                bytes.insert(bytes.end(), data.begin() + p, data.begin() + p + n);
                p += n;
                ended = type == 0x2F;
                if (!ended) events.push_back({tick, bytes});
            } else if (status == 0xF7 || status == 0xF0) {
                const unsigned n = vlq();
                Bytes bytes(data.begin() + p, data.begin() + p + n);
                if (status == 0xF0) bytes.insert(bytes.begin(), 0xF0);
                p += n;
                events.push_back({tick, bytes});
            } else {
                running = status;
                const int n = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
                Bytes bytes = {status};
                for (int i = 0; i < n; ++i) bytes.push_back(data.at(p++));
                events.push_back({tick, bytes});
            }
        }
        EXPECT_TRUE(ended) << "track " << t << " ends with its end-of-track event";
        EXPECT_EQ(p, end);
        smf.tracks.push_back(events);
    }
    EXPECT_EQ(p, data.size());
    return smf;
}

TEST(RenderFiles, TheMidiFileHoldsEveryMessageAtItsTenthOfAMillisecond) {
    const std::vector<midioutput_record> records = {{0.0, {0xB0, 64, 0}}, {1.5124, {0xFA}},
                                                    {1.5124, {0xF8}},     {1.534, {0x90, 65, 127}},
                                                    {2.0005, {0xFC}},     {200.25, {0x80, 65, 0}}};
    const Smf smf = parse_smf(render_midi_file(records).serialize());
    EXPECT_EQ(smf.format, 1);
    EXPECT_EQ(smf.division, 10000);
    ASSERT_EQ(smf.tracks.size(), 2u);
    // The conductor track: a tenth of a millisecond per tick (1,000,000 us a
    // quarter at 10000 ticks a quarter).
    ASSERT_EQ(smf.tracks[0].size(), 1u);
    EXPECT_EQ(smf.tracks[0][0].bytes, (Bytes{0xFF, 0x51, 0x0F, 0x42, 0x40}));
    // The messages, after the track's name.
    const auto& events = smf.tracks[1];
    ASSERT_EQ(events.size(), records.size() + 1);
    EXPECT_EQ(events[0].bytes, (Bytes{0xFF, 0x03, 'k', 'a', 'd', 'e', 'n', 'z', 'o', ' ', 'r', 'e',
                                      'n', 'd', 'e', 'r'}));
    const long expected_ticks[] = {0, 15124, 15124, 15340, 20005, 2002500};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(events[i + 1].tick, expected_ticks[i]) << i;
        EXPECT_EQ(events[i + 1].bytes, records[i].bytes) << i;
    }
    // Real-time bytes travel as escape events: F7, length 1, the byte.
    const Bytes file = render_midi_file({{0.0, {0xF8}}}).serialize();
    const Bytes escaped = {0x00, 0xF7, 0x01, 0xF8};
    EXPECT_NE(std::search(file.begin(), file.end(), escaped.begin(), escaped.end()), file.end());
}

TEST(RenderFiles, TheStreamedMidiFileIsTheFileOfAllMessages) {
    RenderSettings settings;
    settings.notes = true;  // Note Offs share milliseconds with other messages
    const RenderOutcome outcome = render_engine(drums(131.0, 25.0), settings);
    ASSERT_TRUE(outcome.ok);
    // A few out of order by a millisecond, as messages of one pass may be.
    std::vector<midioutput_record> records = outcome.messages;
    records.insert(records.begin() + records.size() / 2, {records[records.size() / 2].time - 0.001,
                                                          {0x80, 64, 0}});
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    RenderMidiWriter writer(file);
    for (const midioutput_record& r : records) writer.add(r);
    std::string error;
    ASSERT_TRUE(writer.finish(error)) << error;
    std::rewind(file);
    Bytes streamed;
    for (int c; (c = std::fgetc(file)) != EOF;) streamed.push_back(static_cast<unsigned char>(c));
    std::fclose(file);
    const std::vector<std::uint8_t> whole = render_midi_file(records).serialize();
    EXPECT_EQ(streamed, Bytes(whole.begin(), whole.end()));
}

TEST(RenderFiles, MessagesLeaveAsTheRenderGoes) {
    const std::vector<float> audio = drums(120.0, 20.0);
    std::size_t position = 0;
    const RenderAudioSource source = [&](float* out, long max, std::string&) -> long {
        const long n = std::min<long>(max, static_cast<long>(audio.size() - position));
        std::copy(audio.begin() + position, audio.begin() + position + n, out);
        position += n;
        return n;
    };
    int batches = 0;
    const RenderMessageSink sink = [&](const std::vector<midioutput_record>& batch, std::string&) {
        ++batches;
        EXPECT_LE(batch.back().time - batch.front().time, 1.0) << "about a second at a time";
        // The audio read so far reaches no further than a block beyond the messages.
        EXPECT_LE(static_cast<double>(position) / 44100.0, batch.back().time + 0.5);
        return true;
    };
    const RenderOutcome outcome = render_stream(source, sink, RenderSettings{});
    ASSERT_TRUE(outcome.ok);
    EXPECT_GE(batches, 15);

    // A sink that fails ends the render with its reason; so does the source.
    const RenderMessageSink failing = [](const std::vector<midioutput_record>&, std::string& e) {
        e = "disk full";
        return false;
    };
    position = 0;
    const RenderOutcome failed = render_stream(source, failing, RenderSettings{});
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, "disk full");
    const RenderAudioSource broken = [](float*, long, std::string& e) -> long {
        e = "bad sector";
        return -1;
    };
    const RenderOutcome unread = render_stream(broken, sink, RenderSettings{});
    EXPECT_FALSE(unread.ok);
    EXPECT_EQ(unread.error, "bad sector");
}

TEST(RenderFiles, TheLogHasOneLinePerMessage) {
    const std::vector<midioutput_record> records = {{1.5124, {0xFA}}, {12.3456, {0xB0, 64, 0x3F}}};
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    write_render_log(out, records);
    std::rewind(out);
    char text[256] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(text, n), "1.512400\tFA\n12.345600\tB0 40 3F\n");
}

void write_wav(const std::string& path, const std::vector<float>& mono, int rate, int channels) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<float> frames;
    for (float s : mono) {
        for (int c = 0; c < channels; ++c) frames.push_back(c == 0 ? s : 0.5f * s);
    }
    sf_writef_float(file, frames.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// "SECONDS.uuuuuu<TAB>XX XX XX": the time in whole microseconds and the bytes.
bool parse_log_line(const std::string& line, long* us, Bytes* bytes) {
    const size_t tab = line.find('\t');
    const size_t dot = line.find('.');
    if (tab == std::string::npos || dot == std::string::npos || dot == 0 || tab != dot + 7) {
        return false;
    }
    for (size_t i = 0; i < tab; ++i) {
        if (i != dot && !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
    }
    *us = std::stol(line.substr(0, dot)) * 1000000 + std::stol(line.substr(dot + 1, 6));
    const std::string hex = line.substr(tab + 1);
    if (hex.size() < 2 || (hex.size() + 1) % 3 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 3) {
        if (!is_hex_digit(hex[i]) || !is_hex_digit(hex[i + 1])) return false;
        if (i + 2 < hex.size() && hex[i + 2] != ' ') return false;
        bytes->push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(RenderFiles, TheCommandWritesTheMidiFileAndTheLogOfTheSameMessages) {
    const std::string dir = testing::TempDir();
    const std::string wav = dir + "kadenzo_render_test.wav";
    const std::string mid = dir + "kadenzo_render_test.mid";
    const std::string log = dir + "kadenzo_render_test.txt";
    // A stereo file at 48 kHz: mixed to mono and converted to 44100 Hz.
    write_wav(wav, drums(120.0, 20.0, 48000.0), 48000, 2);

    std::vector<std::string> args = {"render", wav,       "-o",           mid,   "--log",
                                     log,      "--notes", "--anti-delay", "20"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    const int status = run_render(static_cast<int>(argv.size()), argv.data());
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("20.0 s of audio"), std::string::npos) << printed;

    // The log: TIME<TAB>HEX BYTES, times in order.
    std::ifstream lines(log);
    std::vector<std::pair<long, Bytes>> logged;  // microseconds
    std::string line;
    while (std::getline(lines, line)) {
        Bytes bytes;
        long us = -1;
        ASSERT_TRUE(parse_log_line(line, &us, &bytes)) << line;
        logged.push_back({us, bytes});
    }
    ASSERT_GT(logged.size(), 1000u);

    // The MIDI file: the same messages at the same milliseconds.
    const std::string data = read_file(mid);
    const Smf smf = parse_smf(Bytes(data.begin(), data.end()));
    ASSERT_EQ(smf.tracks.size(), 2u);
    std::vector<std::pair<long, Bytes>> in_file;
    for (size_t i = 1; i < smf.tracks[1].size(); ++i) {
        in_file.push_back({smf.tracks[1][i].tick, smf.tracks[1][i].bytes});
    }
    for (size_t i = 1; i < logged.size(); ++i) {
        EXPECT_GE(logged[i].first, logged[i - 1].first) << "the log is in order of time";
    }
    // The same messages, at the same times to within a tick of the file
    // (0.1 ms; the log's microseconds may round the other way at a tick's
    // half).
    std::vector<std::pair<long, Bytes>> log_ticks;
    for (const auto& m : logged) log_ticks.push_back({m.first, m.second});
    ASSERT_EQ(in_file.size(), log_ticks.size());
    std::vector<bool> used(log_ticks.size(), false);
    for (const auto& event : in_file) {
        bool found = false;
        for (size_t j = 0; j < log_ticks.size() && !found; ++j) {
            if (used[j] || log_ticks[j].second != event.second) continue;
            if (std::labs(log_ticks[j].first - event.first * 100) <= 100) {
                used[j] = true;
                found = true;
            }
        }
        EXPECT_TRUE(found) << "file event at tick " << event.first;
    }

    // The tempo is right after conversion.
    std::vector<double> clocks;
    for (const auto& m : logged) {
        if (m.second == Bytes{0xF8}) clocks.push_back(m.first / 1e6);
    }
    EXPECT_LT(relative_tempo_error(clock_tempo(clocks, 10.0), 120.0), 0.01);
    std::remove(wav.c_str());
    std::remove(mid.c_str());
    std::remove(log.c_str());
}

TEST(RenderFiles, AMissingFileIsAnError) {
    std::vector<std::string> args = {"render", "/nonexistent/kadenzo.wav"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStderr();
    EXPECT_NE(run_render(static_cast<int>(argv.size()), argv.data()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("kadenzo render"), std::string::npos);
}

}  // namespace
