// `kadenzo analyze FILE`: runs the meter tracker over an audio file, fed in
// 128-sample blocks at 44100 Hz exactly as the live engine feeds it, and
// reports the tempo, the beats with their positions in the bar, and on
// request every analysis step (JSON) or a tempo-mapped MIDI file.
#include <sys/resource.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio_file.h"
#include "cli_support.h"
#include "meterTrackerC.h"
#include "midi_file.h"
#include "output_file.h"
#include "subcommand.h"

namespace {

const double kAnalysisRate = 44100.0;  // the tracker's (and the engine's) rate
const unsigned kBlock = 128;           // samples per tracker call, as in the engine
const long kReadSamples = 8192;
const double kProgressMinSeconds = 5.0;  // shorter files finish before a bar helps
// Input samples per front-end frame and between frames, and the front end's
// group delay in accent frames, at 44100 Hz: they set the shortest file
// that completes one analysis step.
const double kFrameLength = 1024.0, kFrameHop = 512.0;
const unsigned kGroupDelay = 11;
// Share of the steps that must be confident of a steady beat for the file
// to have one (noise reaches about an eighth by chance).
const double kSteadyShare = 0.25;
// Seconds of history the tracker keeps while its steps are taken out.
const double kTrackerHistorySeconds = 30.0;

enum Level { kBeat = 0, kBar = 1, kTatum = 2 };  // pulse cache column order

struct Options {
    std::string input;
    std::string midiPath;
    bool beats = false;
    bool json = false;
    bool quiet = false;
    bool stats = false;
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;
    meterTracker::EnhancedStages stages;
};

struct Step {
    unsigned index;
    double confidence;  // of a steady beat, 0 .. 1
    double time;  // end of the audio the step covers, seconds
    double period[3];
    double phase[3];
};

struct Analysis {
    std::string path;
    std::string format;
    double duration = 0.0;
    double fileRate = 0.0;
    int channels = 0;
    bool resampled = false;

    double accentRate = 0.0;
    unsigned stepHop = 0;
    std::vector<Step> steps;
    std::vector<double> tatumPulses, beatPulses, barPulses;  // as the tracker gives them

    std::vector<double> beats;   // beat pulses at or after time 0
    std::vector<int> positions;  // per beat, 1 on a bar's first beat
    double medianBeatPeriod = 0.0;
    double lowTempo = 0.0, highTempo = 0.0;  // 10th and 90th percentile, BPM
    int beatsPerBar = 0;
    int bars = 0;
    // Whether the file has a steady beat at all: most steps are confident.
    bool steadyBeat = true;
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;

    double decodeSeconds = 0.0;
    double trackerSeconds = 0.0;
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A one-line bar on standard error, redrawn when the percentage changes.
class ProgressBar {
  public:
    ProgressBar(bool enabled, const std::string& label) : enabled_(enabled), label_(label) {}
    void update(double fraction) {
        if (!enabled_) return;
        const int percent = std::min(100, std::max(0, static_cast<int>(fraction * 100.0)));
        if (percent == shown_) return;
        shown_ = percent;
        const int width = 30, filled = percent * width / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
                     std::string(width - filled, '-').c_str(), percent);
        std::fflush(stderr);
    }
    void finish() {
        if (!enabled_ || shown_ < 0) return;
        std::fprintf(stderr, "\r%s\r", std::string(label_.size() + 40, ' ').c_str());
        std::fflush(stderr);
    }

  private:
    bool enabled_;
    std::string label_;
    int shown_ = -1;
};

std::string baseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double at = q * (values.size() - 1);
    const std::size_t low = static_cast<std::size_t>(std::floor(at));
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (at - low) * (values[high] - values[low]);
}

// Feeds the whole file through the tracker; false with a one-line error.
bool track(const Options& options, Analysis& a, std::string& error) {
    AudioFileReader reader;
    if (!reader.open(options.input, kAnalysisRate)) {
        error = reader.error();
        return false;
    }
    a.path = options.input;
    a.model = options.model;
    a.format = reader.formatName();
    a.duration = reader.durationSeconds();
    a.fileRate = reader.fileRate();
    a.channels = reader.channels();
    a.resampled = reader.resampling();

    meterTracker::mTracker tracker(static_cast<unsigned>(kAnalysisRate), options.model,
                                   options.stages);
    a.accentRate = tracker.getParams().accentRate;
    a.stepHop = tracker.getStepHop();
    // The steps and pulses are taken out as they come; the tracker keeps
    // only a short history, so that memory and time per step stay flat
    // however long the file.
    tracker.setHistoryLimit(kTrackerHistorySeconds);
    unsigned stepsTaken = 0;
    std::size_t pulsesTaken[3] = {0, 0, 0};
    std::vector<double>* const pulseLists[3] = {&a.beatPulses, &a.barPulses, &a.tatumPulses};
    auto takeNew = [&]() {
        const auto& cache = tracker.getPulseCache();
        const unsigned flushed = static_cast<unsigned>(tracker.getFlushedRows());
        for (; stepsTaken < tracker.getStepsDone(); ++stepsTaken) {
            const unsigned r = stepsTaken - flushed;
            Step step;
            step.index = stepsTaken;
            step.confidence = tracker.getRowConfidence(r);
            step.time = (step.index + 1) * a.stepHop / a.accentRate;
            for (int level = 0; level < 3; ++level) {
                step.period[level] = cache[r][level].real();
                step.phase[level] = cache[r][level].imag();
            }
            a.steps.push_back(step);
        }
        for (unsigned column = 0; column < 3; ++column) {
            const meterTracker::PulseTrain& train = tracker.getPulseTrain(column);
            const std::size_t total = train.dropped() + train.pulses().size();
            for (; pulsesTaken[column] < total; ++pulsesTaken[column])
                pulseLists[column]->push_back(
                    train.pulses()[pulsesTaken[column] - train.dropped()]);
        }
    };

    ProgressBar progress(
        !options.quiet && isatty(STDERR_FILENO) && a.duration > kProgressMinSeconds,
        "analysing " + baseName(options.input));
    std::vector<double> samples(kReadSamples);
    using Clock = std::chrono::steady_clock;
    for (;;) {
        const Clock::time_point t0 = Clock::now();
        const long got = reader.read(samples.data(), kReadSamples);
        const Clock::time_point t1 = Clock::now();
        a.decodeSeconds += seconds(t1 - t0);
        if (got < 0) {
            progress.finish();
            error = reader.error();
            return false;
        }
        if (got == 0) break;
        for (long i = 0; i < got; i += kBlock) {
            tracker.addData(samples.data() + i,
                            static_cast<unsigned>(std::min<long>(kBlock, got - i)));
            if (tracker.process()) takeNew();
        }
        a.trackerSeconds += seconds(Clock::now() - t1);
        if (a.duration > 0.0) progress.update(reader.secondsDecoded() / a.duration);
    }
    progress.finish();

    if (tracker.getStepsDone() == 0) {
        char text[160];
        std::snprintf(
            text, sizeof text,
            " is too short to find a meter (%.2f s of audio; at least %.2f s needed)", a.duration,
            // Two accent frames per front-end frame, until the first
            // step's frames and the predicted ones are in.
            (kFrameLength + kFrameHop * ((tracker.getStepHop() + kGroupDelay + 1) / 2 - 1)) /
                kAnalysisRate);
        error = "'" + options.input + "'" + text;
        return false;
    }
    return true;
}

// Positions in the bar: a beat starts a bar when a bar pulse lies within a
// quarter of the beat period of it; the beats after it count up. Beats before
// the first bar start count back from it.
void assignPositions(Analysis& a) {
    // Without a steady beat (silence, noise, a tone) there are no beats to
    // report: that takes confident steps over a good part of the file.
    std::size_t confident = 0;
    for (const Step& s : a.steps) confident += s.confidence >= meterTracker::kSteadyBeatConfidence;
    a.steadyBeat = static_cast<double>(confident) >= kSteadyShare * static_cast<double>(a.steps.size());
    if (!a.steadyBeat) {
        a.beatsPerBar = 0;
        a.bars = 0;
        return;
    }
    std::vector<double> beatPeriods, bars;
    for (const Step& s : a.steps) beatPeriods.push_back(s.period[kBeat]);
    a.medianBeatPeriod = percentile(beatPeriods, 0.5);
    a.lowTempo = 60.0 / percentile(beatPeriods, 0.9);
    a.highTempo = 60.0 / percentile(beatPeriods, 0.1);

    for (double t : a.beatPulses)
        if (t >= 0.0) a.beats.push_back(t);
    for (double t : a.barPulses)
        if (t >= 0.0) bars.push_back(t);
    std::sort(bars.begin(), bars.end());

    const std::size_t n = a.beats.size();
    std::vector<bool> startsBar(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const double period =
            n < 2 ? a.medianBeatPeriod
                  : (i + 1 < n ? a.beats[i + 1] - a.beats[i] : a.beats[i] - a.beats[i - 1]);
        const double t = a.beats[i], tolerance = 0.25 * period;
        const auto it = std::lower_bound(bars.begin(), bars.end(), t - tolerance);
        startsBar[i] = it != bars.end() && *it <= t + tolerance;
    }

    // Bar lengths between consecutive bar starts give the usual bar length.
    std::vector<double> lengths;
    std::size_t firstStart = n, previous = n;
    for (std::size_t i = 0; i < n; ++i) {
        if (!startsBar[i]) continue;
        if (firstStart == n) firstStart = i;
        if (previous != n) lengths.push_back(static_cast<double>(i - previous));
        previous = i;
    }
    std::vector<double> barPeriods;
    for (const Step& s : a.steps) barPeriods.push_back(s.period[kBar]);
    a.beatsPerBar =
        lengths.empty()
            ? static_cast<int>(std::lround(percentile(barPeriods, 0.5) / a.medianBeatPeriod))
            : static_cast<int>(std::lround(percentile(lengths, 0.5)));
    a.beatsPerBar = std::max(1, a.beatsPerBar);

    a.positions.assign(n, 0);
    a.bars = 0;
    const std::size_t anchor = firstStart == n ? 0 : firstStart;
    for (std::size_t i = anchor; i < n; ++i) {
        const bool start = firstStart == n ? (i - anchor) % a.beatsPerBar == 0 : startsBar[i];
        // A stretch without bar starts longer than a bar (the tracker's bar
        // pulses missed one) is counted in bars of the usual length, so that
        // no position exceeds the beats per bar reported.
        const bool wraps = i != anchor && a.positions[i - 1] >= a.beatsPerBar;
        a.positions[i] = (start || wraps || i == anchor) ? 1 : a.positions[i - 1] + 1;
        if (a.positions[i] == 1) ++a.bars;
    }
    const int pickupBar =
        lengths.empty() ? a.beatsPerBar
                        : std::min(a.beatsPerBar, static_cast<int>(lengths.front()));
    for (std::size_t i = 0; i < anchor; ++i) {
        const int back = static_cast<int>(anchor - i);  // beats before the first bar start
        a.positions[i] = ((pickupBar - back) % pickupBar + pickupBar) % pickupBar + 1;
    }
}

void printSummary(const Analysis& a) {
    std::printf("file:           %s\n", a.path.c_str());
    std::printf("duration:       %.2f s (%s, %.0f Hz, %d channel%s%s)\n", a.duration,
                a.format.c_str(), a.fileRate, a.channels, a.channels == 1 ? "" : "s",
                a.resampled ? ", resampled to 44100 Hz" : "");
    if (!a.steadyBeat) {
        std::printf("tempo:          no steady beat found\n");
        return;
    }
    std::printf("tempo:          %.1f BPM median (%.1f to %.1f BPM over the file)\n",
                60.0 / a.medianBeatPeriod, a.lowTempo, a.highTempo);
    std::printf("beats per bar:  %d\n", a.beatsPerBar);
    std::printf("beats:          %zu\n", a.beats.size());
    std::printf("bars:           %d\n", a.bars);
    std::printf("\nbeat time (s)\tposition in bar\n");
}

void printBeats(const Analysis& a) {
    for (std::size_t i = 0; i < a.beats.size(); ++i)
        std::printf("%.3f\t%d\n", a.beats[i], a.positions[i]);
}

void printJson(const Analysis& a) {
    using Json = nlohmann::ordered_json;
    Json out;
    out["file"] = a.path;
    out["format"] = a.format;
    out["duration"] = a.duration;
    out["file_sample_rate"] = a.fileRate;
    out["channels"] = a.channels;
    out["analysis_sample_rate"] = kAnalysisRate;
    out["accent_rate"] = a.accentRate;
    out["step_seconds"] = a.stepHop / a.accentRate;
    out["tracking_model"] = meterTracker::trackingModelName(a.model);
    out["steady_beat"] = a.steadyBeat;
    if (a.steadyBeat) {
        out["median_tempo_bpm"] = 60.0 / a.medianBeatPeriod;
    } else {
        out["median_tempo_bpm"] = nullptr;
    }
    out["beats_per_bar"] = a.beatsPerBar;
    Json steps = Json::array();
    static const char* const kNames[3] = {"beat", "bar", "tatum"};
    for (const Step& s : a.steps) {
        Json step;
        step["index"] = s.index;
        step["time"] = s.time;
        step["confidence"] = s.confidence;
        for (int level : {kTatum, kBeat, kBar})
            step[kNames[level]] = {{"period", s.period[level]}, {"phase", s.phase[level]}};
        steps.push_back(std::move(step));
    }
    out["steps"] = std::move(steps);
    // Stretches whose steps are not confident of a steady beat.
    Json stretches = Json::array();
    for (std::size_t i = 0; i < a.steps.size();) {
        if (a.steps[i].confidence >= meterTracker::kSteadyBeatConfidence) {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j + 1 < a.steps.size() &&
               a.steps[j + 1].confidence < meterTracker::kSteadyBeatConfidence)
            ++j;
        const double stepSeconds = a.stepHop / a.accentRate;
        stretches.push_back({{"from", a.steps[i].time - stepSeconds}, {"to", a.steps[j].time}});
        i = j + 1;
    }
    out["low_confidence"] = std::move(stretches);
    out["pulses"] = {{"tatum", a.tatumPulses}, {"beat", a.beatPulses}, {"bar", a.barPulses}};
    Json beats = Json::array();
    for (std::size_t i = 0; i < a.beats.size(); ++i)
        beats.push_back({{"time", a.beats[i]}, {"position", a.positions[i]}});
    out["beats"] = std::move(beats);
    // File names need not be valid UTF-8; bytes that are not become U+FFFD.
    const std::string text = out.dump(1, ' ', false, Json::error_handler_t::replace);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// Tempo map with a tempo event at every beat, beats on quarter notes, bars
// on the sequencer's bar lines (a time signature wherever the bar length
// changes); notes on the percussion channel: a high wood block on every bar's
// first beat, a low wood block on every beat.
bool writeMidi(const Analysis& a, OutputFile& out, std::string& error) {
    MidiFile midi(480);
    const std::uint32_t q = static_cast<std::uint32_t>(midi.ticksPerQuarter());
    midi.addMeta(0, 0, 0x03, {'K', 'a', 'd', 'e', 'n', 'z', 'o', ' ', 't', 'e', 'm', 'p', 'o'});
    const int track = midi.addTrack("Kadenzo beats");
    const std::vector<double>& beats = a.beats;
    const std::size_t n = beats.size();

    // Length (in beats) of the bar starting at each bar start.
    auto barLength = [&](std::size_t start) {
        std::size_t end = start + 1;
        while (end < n && a.positions[end] != 1) ++end;
        const int length = static_cast<int>(end - start);
        return end < n ? length : std::max(length, a.beatsPerBar);
    };
    std::size_t firstStart = 0;
    while (firstStart < n && a.positions[firstStart] != 1) ++firstStart;
    int signature = firstStart < n ? barLength(firstStart) : a.beatsPerBar;
    signature = std::min(std::max(signature, 1), 32);

    // Tick of beat 0, chosen so that the first bar start lies on a bar line.
    std::uint32_t base = 0;
    if (n > 0) {
        const std::uint32_t needed = beats[0] > 0.0 ? 1 : 0;
        const std::uint32_t bar = q * static_cast<std::uint32_t>(signature);
        const std::uint32_t before =
            q * static_cast<std::uint32_t>(firstStart < n ? firstStart : 0);
        const std::uint32_t bars = (before + needed + bar - 1) / bar;
        base = bars * bar - before;
    }
    midi.addTimeSignature(0, signature, 2);
    auto write = [&]() {
        const std::vector<std::uint8_t> bytes = midi.serialize();
        if (std::fwrite(bytes.data(), 1, bytes.size(), out.stream()) == bytes.size()) return true;
        error = "cannot write '" + out.path() + "': " + std::strerror(errno);
        return false;
    };
    if (n == 0) return write();

    if (base > 0) midi.addTempo(0, beats[0] / (static_cast<double>(base) / q));
    // Whole microseconds per beat, rounded on the running total so that the
    // rounding never adds up.
    auto micros = [&](std::size_t i) { return std::llround((beats[i] - beats[0]) * 1e6); };
    long long lastInterval = std::llround(a.medianBeatPeriod * 1e6);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t tick = base + q * static_cast<std::uint32_t>(i);
        if (i + 1 < n) lastInterval = micros(i + 1) - micros(i);
        midi.addTempo(tick, static_cast<double>(lastInterval) * 1e-6);
        if (a.positions[i] == 1) {
            const int length = std::min(std::max(barLength(i), 1), 32);
            if (length != signature && i + 1 < n) {
                midi.addTimeSignature(tick, length, 2);
                signature = length;
            }
            midi.addNote(track, tick, q / 4, 9, 76, 110);
        }
        midi.addNote(track, tick, q / 4, 9, 77, 80);
    }
    return write();
}

// Timing and memory on standard error. CPU time is given besides wall-clock
// time because the two differ on a shared machine.
void printStats(const Analysis& a, double total) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    auto factor = [&a](double seconds) { return seconds > 0.0 ? a.duration / seconds : 0.0; };
    std::fprintf(stderr,
                 "stats: %.1f s of audio, %zu steps; wall clock: decoding%s %.3f s, tracker "
                 "%.3f s (%.0fx real time), total %.3f s (%.0fx real time); CPU time %.3f s "
                 "(%.0fx real time); peak RSS %.1f MiB\n",
                 a.duration, a.steps.size(), a.resampled ? " and resampling" : "", a.decodeSeconds,
                 a.trackerSeconds, factor(a.trackerSeconds), total, factor(total), cpu, factor(cpu),
                 usage.ru_maxrss / 1024.0);
}

int run_analyze(int argc, char** argv) {
    Options options;
    CLI::App app{
        "Follows the meter of the music in an audio file (WAV, AIFF, FLAC, Ogg, ...) and "
        "reports its tempo, beats and bars. Multichannel audio is mixed to mono and converted "
        "to 44100 Hz before analysis.",
        "kadenzo analyze"};
    app.add_option("FILE", options.input, "Audio file to analyse")->required();
    CLI::Option* beats = app.add_flag(
        "--beats", options.beats,
        "Print only the beats, one a line: TIME<TAB>POSITION (seconds with 3 decimals; "
        "position 1 on a bar's first beat, counting up within the bar)");
    app.add_flag("--json", options.json,
                 "Print everything as JSON: per analysis step the tatum, beat and bar periods "
                 "and phases (seconds), the three pulse lists, and the beats with positions")
        ->excludes(beats);
    app.add_option("--midi", options.midiPath,
                   "Also write a Standard MIDI File (format 1, 480 ticks per quarter) with a "
                   "tempo event at every beat and notes on bars and beats")
        ->type_name("FILE.mid");
    app.add_flag("-q,--quiet", options.quiet, "No progress bar");
    app.add_flag("--stats", options.stats,
                 "Print timing (real-time factor) and peak memory on standard error");
    ModelChoice modelChoice;
    addModelOptions(app, modelChoice);
    app.footer(
        "Without --beats or --json: a short summary (duration, median tempo, beats per bar, "
        "numbers of beats and bars), then the beat list. Times are seconds from the start of "
        "the file. A progress bar appears on standard error for files longer than 5 s when "
        "it is a terminal. Exit status: 0 on success, 1 when the file cannot be analysed, "
        "2 on a usage error.");
    int status = 0;
    if (!parseCommandLine(app, argc, argv, &status)) return status;
    options.model = modelChoice.model;
    options.stages = modelChoice.stages;

    const auto start = std::chrono::steady_clock::now();
    Analysis analysis;
    std::string error;
    // Outputs are checked, and their temporary files made, before the work.
    OutputPlan plan;
    plan.addInput(options.input);
    OutputFile midiFile;
    if (!options.midiPath.empty()) {
        removeUnfinishedOutputsOnSignals();
        if (!plan.addOutput("--midi", options.midiPath, error) ||
            !midiFile.open(options.midiPath, error)) {
            std::fprintf(stderr, "kadenzo analyze: %s\n", error.c_str());
            return 1;
        }
    }
    if (!track(options, analysis, error)) {
        std::fprintf(stderr, "kadenzo analyze: %s\n", error.c_str());
        return 1;
    }
    assignPositions(analysis);

    if (options.json) {
        printJson(analysis);
    } else if (options.beats) {
        printBeats(analysis);
    } else {
        printSummary(analysis);
        printBeats(analysis);
    }
    std::fflush(stdout);
    if (midiFile.isOpen() && !(writeMidi(analysis, midiFile, error) && midiFile.commit(error))) {
        std::fprintf(stderr, "kadenzo analyze: %s\n", error.c_str());
        return 1;
    }
    if (options.stats) printStats(analysis, seconds(std::chrono::steady_clock::now() - start));
    return 0;
}

}  // namespace

KADENZO_SUBCOMMAND(analyze, "analyze", "report the tempo, beats and bars of an audio file",
                   run_analyze);
