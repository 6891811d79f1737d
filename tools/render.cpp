#include "render.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "audio_file.h"
#include "meterticker.h"
#include "prediction.h"
#include "render_midi.h"
#include "sequencer.h"
#include "subcommand.h"

namespace {

const int kSampleRate = 44100;
const int kBlock = 128;  // frames per audio callback of the live engine
const int kAlignCheckMilliseconds = 500;

// The engine clock of a render: advanced by the render loop only.
struct VirtualClock {
    double now = 0.0;
    static double read(void* user) { return static_cast<VirtualClock*>(user)->now; }
};

struct SequencerDeleter {
    void operator()(sequencer_state* sequencer) const { close_sequencer(sequencer); }
};

}  // namespace

RenderOutcome render_engine(const std::vector<float>& mono, const RenderSettings& settings) {
    RenderOutcome outcome;
    VirtualClock clock;

    // The sequencer carries only the clock here: audio goes straight to the
    // ticker's callback, as the consumer thread would hand it over.
    std::unique_ptr<sequencer_state, SequencerDeleter> sequencer(init_sequencer());
    if (!sequencer) {
        outcome.error = "no audio sequencer";
        return outcome;
    }
    sequencer_register_gettime_cb(sequencer.get(), &clock, VirtualClock::read);

    meterticker_state* ticker = nullptr;
    const int status = meterticker_init_manual_recorded(sequencer.get(), "kadenzo render",
                                                        VirtualClock::read, &clock, &ticker);
    if (status != 0) {
        outcome.error = "the engine could not start (status " + std::to_string(status) + ")";
        return outcome;
    }
    meterticker_set_anti_delay(ticker, settings.anti_delay);
    // The switches in the order the application applies them.
    const std::int64_t clock_on_ms = std::llround(std::max(0.0, settings.clock_on_at) * 1000.0);
    if (clock_on_ms == 0) meterticker_midiclock_out(ticker, 1);
    meterticker_midinote_out(ticker, settings.notes ? 1 : 0);
    meterticker_midiphase_out(ticker, 1);

    // Whole blocks, the last one completed with silence.
    const std::int64_t size = static_cast<std::int64_t>(mono.size());
    const std::int64_t blocks = (size + kBlock - 1) / kBlock;
    const std::int64_t samples = blocks * kBlock;
    float last_block[kBlock] = {};
    if (blocks > 0) {
        std::copy(mono.begin() + (blocks - 1) * kBlock, mono.end(), last_block);
    }
    // The millisecond at which the last block has arrived.
    const std::int64_t end_ms = (samples * 1000 + kSampleRate - 1) / kSampleRate;

    std::int64_t next_block = 0;
    for (std::int64_t ms = 0; ms <= end_ms; ++ms) {
        clock.now = static_cast<double>(ms) / 1000.0;
        if (ms == clock_on_ms && ms > 0) meterticker_midiclock_out(ticker, 1);
        // Every block whose last sample lies at or before now.
        while (next_block < blocks && (next_block + 1) * kBlock * 1000 <= ms * kSampleRate) {
            const double block_time = static_cast<double>(next_block * kBlock) / kSampleRate;
            const float* block =
                next_block + 1 < blocks ? mono.data() + next_block * kBlock : last_block;
            meterticker_cbfun(block, kBlock, ticker, block_time);
            ++next_block;
        }
        if (!meterticker_timer_aligned(ticker)) {
            // The timer thread looks for the first estimate every 500 ms.
            if (ms % kAlignCheckMilliseconds != 0 || !meterticker_timer_align(ticker)) continue;
        }
        meterticker_timer_pass(ticker);
    }

    outcome.messages = midioutput_take_records(meterticker_midi(ticker));
    meterticker_close(ticker);
    outcome.audio_seconds = static_cast<double>(mono.size()) / kSampleRate;
    outcome.ok = true;
    return outcome;
}

bool load_audio_mono_44100(const std::string& path, std::vector<float>* mono, std::string* error) {
    AudioFileReader reader;
    if (!reader.open(path, kSampleRate)) {
        *error = reader.error();
        return false;
    }
    mono->clear();
    std::vector<double> piece(8192);
    for (;;) {
        const long read = reader.read(piece.data(), static_cast<long>(piece.size()));
        if (read < 0) {
            *error = reader.error();
            return false;
        }
        if (read == 0) return true;
        mono->insert(mono->end(), piece.begin(), piece.begin() + read);
    }
}

namespace {

void print_summary(const std::string& input, const RenderOutcome& outcome, double wall_seconds) {
    int starts = 0, clocks = 0, stops = 0, notes_on = 0, notes_off = 0, controllers = 0;
    std::vector<double> clock_times;
    for (const midioutput_record& record : outcome.messages) {
        const unsigned char status = record.bytes.empty() ? 0 : record.bytes[0];
        if (status == 0xFA) ++starts;
        if (status == 0xFC) ++stops;
        if (status == 0xF8) {
            ++clocks;
            clock_times.push_back(record.time);
        }
        if ((status & 0xF0) == 0x90) ++notes_on;
        if ((status & 0xF0) == 0x80) ++notes_off;
        if ((status & 0xF0) == 0xB0) ++controllers;
    }
    std::printf("%s: %.1f s of audio rendered in %.2f s (%.0f times real time)\n", input.c_str(),
                outcome.audio_seconds, wall_seconds,
                wall_seconds > 0 ? outcome.audio_seconds / wall_seconds : 0.0);
    std::printf(
        "%zu MIDI messages: %d Start, %d Clock, %d Stop, %d Note On, %d Note Off, "
        "%d Control Change\n",
        outcome.messages.size(), starts, clocks, stops, notes_on, notes_off, controllers);
    // The clock's tempo over the second half of the clocks sent.
    if (clock_times.size() >= 50) {
        const size_t first = clock_times.size() / 2;
        const double span = clock_times.back() - clock_times[first];
        const double beats = static_cast<double>(clock_times.size() - 1 - first) / 24.0;
        if (span > 0)
            std::printf("MIDI clock tempo over its second half: %.2f BPM\n", 60.0 * beats / span);
    }
}

int render_command(int argc, char** argv) {
    CLI::App app{
        "Runs the engine over an audio file on a virtual clock and writes every MIDI "
        "message the live engine would have sent, time-stamped to the millisecond.",
        "kadenzo render"};
    std::string input;
    std::string midi_path;
    std::string log_path;
    RenderSettings settings;
    app.add_option("FILE", input, "Audio file (any rate and channel count libsndfile reads)")
        ->required();
    app.add_option("-o,--output", midi_path,
                   "Standard MIDI File to write (clock bytes as F7 escape events)");
    app.add_option("--anti-delay", settings.anti_delay,
                   "Output latency compensation in seconds: outputs run this much early");
    app.add_flag("--notes", settings.notes, "Also send the bar, beat and tatum notes (64, 65, 66)");
    app.add_option("--log", log_path, "Text log to write: TIME<TAB>HEX BYTES per message");
    CLI11_PARSE(app, argc, argv);

    std::vector<float> mono;
    std::string error;
    if (!load_audio_mono_44100(input, &mono, &error)) {
        std::fprintf(stderr, "kadenzo render: %s\n", error.c_str());
        return 1;
    }

    const auto started = std::chrono::steady_clock::now();
    const RenderOutcome outcome = render_engine(mono, settings);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!outcome.ok) {
        std::fprintf(stderr, "kadenzo render: %s\n", outcome.error.c_str());
        return 1;
    }

    if (!midi_path.empty() && !render_midi_file(outcome.messages).write(midi_path, error)) {
        std::fprintf(stderr, "kadenzo render: %s\n", error.c_str());
        return 1;
    }
    if (!log_path.empty()) {
        std::FILE* log = std::fopen(log_path.c_str(), "w");
        if (!log) {
            std::fprintf(stderr, "kadenzo render: cannot write %s\n", log_path.c_str());
            return 1;
        }
        write_render_log(log, outcome.messages);
        if (std::fclose(log) != 0) {
            std::fprintf(stderr, "kadenzo render: cannot write %s\n", log_path.c_str());
            return 1;
        }
    }
    print_summary(input, outcome, wall);
    return 0;
}

}  // namespace

int run_render(int argc, char** argv) {
    // Nothing may escape to main as an uncaught exception.
    try {
        return render_command(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kadenzo render: %s\n", e.what());
        return 1;
    }
}

KADENZO_SUBCOMMAND(render, "render",
                   "run the engine over an audio file on a virtual clock and write its MIDI",
                   run_render);
