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
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "analysis.h"
#include "analyze_batch.h"
#include "cli_support.h"
#include "meterTrackerC.h"
#include "midi_file.h"
#include "output_file.h"
#include "progress_bar.h"
#include "subcommand.h"

namespace {

// Shorter files finish before a progress bar helps.
const double kProgressMinSeconds = 5.0;


struct Options {
    std::vector<std::string> inputs;
    std::string input;  // the single file of a single analysis
    std::string midiPath;
    bool beats = false;
    bool json = false;
    bool quiet = false;
    bool stats = false;
    AnalysisOptions analysis;
    // Batch analysis.
    bool recursive = false;
    unsigned jobs = 0;
    std::string jsonlPath;
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
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
    const std::string text = jsonText(analysisJson(a), 1);
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
    app.add_option("FILE", options.inputs,
                   "Audio files to analyse, or folders of them (several at once, or a folder: a "
                   "batch, see below)")
        ->required();
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
    app.add_flag("-r,--recursive", options.recursive,
                 "Batch: also the audio files in the folders below a folder given");
    app.add_option("-j,--jobs", options.jobs,
                   "Batch: files analysed at once (default: one per core)")
        ->check(CLI::Range(1u, 4096u));
    app.add_option("--jsonl", options.jsonlPath,
                   "Batch: append one JSON object a line per file to OUT (- for standard "
                   "output): path, duration, tempo, beats per bar, beats as [time, position], "
                   "or the error; files already in OUT are skipped, so an interrupted batch "
                   "resumes where it stopped")
        ->type_name("OUT");
    app.footer(
        "Without --beats or --json: a short summary (duration, median tempo, beats per bar, "
        "numbers of beats and bars), then the beat list. Times are seconds from the start of "
        "the file. A progress bar appears on standard error for files longer than 5 s when "
        "it is a terminal. Batch: with several files, a folder or --jsonl, every file is "
        "analysed on its own (one per core at a time) into JSONL, with one progress bar for "
        "the batch; a file that fails is reported and the batch goes on. Exit status: 0 on "
        "success, 1 when a file cannot be analysed, 2 on a usage error.");
    int status = 0;
    if (!parseCommandLine(app, argc, argv, &status)) return status;
    options.analysis.model = modelChoice.model;
    options.analysis.stages = modelChoice.stages;

    std::error_code ec;
    const bool batch = options.inputs.size() > 1 || !options.jsonlPath.empty() ||
                       std::filesystem::is_directory(options.inputs.front(), ec);
    if (batch) {
        if (options.beats || options.json || !options.midiPath.empty() || options.stats) {
            std::fprintf(stderr,
                         "kadenzo analyze: --beats, --json, --midi and --stats are for one file; "
                         "a batch writes JSONL (--jsonl)\n");
            return kExitUsage;
        }
        BatchOptions batchOptions;
        batchOptions.inputs = options.inputs;
        batchOptions.recursive = options.recursive;
        batchOptions.jobs = options.jobs;
        batchOptions.jsonlPath = options.jsonlPath;
        batchOptions.quiet = options.quiet;
        batchOptions.analysis = options.analysis;
        return runBatch(batchOptions);
    }
    if (options.recursive || options.jobs) {
        std::fprintf(stderr, "kadenzo analyze: --recursive and --jobs are for a batch\n");
        return kExitUsage;
    }
    options.input = options.inputs.front();

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
    ProgressBar progress(!options.quiet && isatty(STDERR_FILENO),
                         "analysing " + baseName(options.input));
    const bool analysed = analyzeFile(options.input, options.analysis, analysis, error,
                                      [&](double fraction) {
                                          if (analysis.duration > kProgressMinSeconds)
                                              progress.update(fraction);
                                      });
    progress.finish();
    if (!analysed) {
        std::fprintf(stderr, "kadenzo analyze: %s\n", error.c_str());
        return 1;
    }

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
