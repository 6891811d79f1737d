#include "render.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "audio_file.h"
#include "cli_support.h"
#include "meterticker.h"
#include "oscsink.h"
#include "output_file.h"
#include "prediction.h"
#include "render_midi.h"
#include "sequencer.h"
#include "subcommand.h"

namespace {

const int kSampleRate = 44100;
const int kBlock = 128;  // frames per audio callback of the live engine
const int kAlignCheckMilliseconds = 500;
// Messages are handed on after this much virtual time.
const int kFlushMilliseconds = 1000;
// Audio is read in pieces of this many samples.
const long kReadSamples = 8192;

// The engine clock of a render: advanced by the render loop only.
struct VirtualClock {
    double now = 0.0;
    static double read(void* user) { return static_cast<VirtualClock*>(user)->now; }
};

struct SequencerDeleter {
    void operator()(sequencer_state* sequencer) const { close_sequencer(sequencer); }
};
struct TickerDeleter {
    void operator()(meterticker_state* ticker) const { meterticker_close(ticker); }
};

// The audio of a render in 128-sample blocks, read ahead far enough to know
// which block is the last.
class BlockReader {
  public:
    explicit BlockReader(const RenderAudioSource& source) : source_(source) {}

    // Reads until a whole block is buffered or the audio has ended; false
    // with the source's reason on an error.
    bool fill(std::string& error) {
        while (!ended_ && buffered() < kBlock) {
            if (start_ > 0) {
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
                start_ = 0;
            }
            const std::size_t old = buffer_.size();
            buffer_.resize(old + kReadSamples);
            const long got = source_(buffer_.data() + old, kReadSamples, error);
            if (got < 0) return false;
            buffer_.resize(old + static_cast<std::size_t>(got));
            if (got == 0) ended_ = true;
        }
        return true;
    }
    // Once fill has run: whether a block (possibly the last, partial one) is there.
    bool hasBlock() const { return buffered() > 0; }
    // Whether the audio's end is known, and then how many blocks it has in all.
    bool endKnown() const { return ended_; }
    std::int64_t totalBlocks() const { return taken_ + (buffered() + kBlock - 1) / kBlock; }
    std::int64_t totalSamples() const { return samplesTaken_ + static_cast<std::int64_t>(buffered()); }

    // The next block, a partial last one completed with silence.
    const float* take() {
        const std::size_t n = std::min<std::size_t>(kBlock, buffered());
        std::fill(block_, block_ + kBlock, 0.0f);
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + n), block_);
        start_ += n;
        ++taken_;
        samplesTaken_ += static_cast<std::int64_t>(n);
        return block_;
    }

  private:
    std::size_t buffered() const { return buffer_.size() - start_; }

    const RenderAudioSource& source_;
    std::vector<float> buffer_;
    std::size_t start_ = 0;
    bool ended_ = false;
    std::int64_t taken_ = 0;
    std::int64_t samplesTaken_ = 0;
    float block_[kBlock] = {};
};

}  // namespace

RenderOutcome render_stream(const RenderAudioSource& source, const RenderMessageSink& sink,
                            const RenderSettings& settings) {
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

    meterticker_state* made = nullptr;
    const int status = meterticker_init_manual_recorded(
        sequencer.get(), "kadenzo render", VirtualClock::read, &clock, &made, settings.model,
        settings.stages);
    if (status != 0) {
        outcome.error = "the engine could not start (status " + std::to_string(status) + ")";
        return outcome;
    }
    std::unique_ptr<meterticker_state, TickerDeleter> ticker(made);
    meterticker_set_prediction_log(ticker.get(), settings.prediction_log);
    meterticker_set_anti_delay(ticker.get(), settings.anti_delay);
    for (output_sink* output : settings.sinks) {
        if (!meterticker_attach_sink(ticker.get(), output)) {
            outcome.error = "too many output sinks";
            return outcome;
        }
    }
    // The switches in the order the application applies them.
    const std::int64_t clock_on_ms = std::llround(std::max(0.0, settings.clock_on_at) * 1000.0);
    if (clock_on_ms == 0) meterticker_midiclock_out(ticker.get(), 1);
    meterticker_midinote_out(ticker.get(), settings.notes ? 1 : 0);
    meterticker_midiphase_out(ticker.get(), 1);

    midioutput_state* midi = meterticker_midi(ticker.get());
    auto flush = [&]() {
        std::vector<midioutput_record> batch = midioutput_take_records(midi);
        if (batch.empty()) return true;
        // The messages of one timer pass reach the driver in the order of
        // the tick-action table; a sink that delivers by time stamp puts
        // them in order of time.
        std::stable_sort(batch.begin(), batch.end(),
                         [](const midioutput_record& a, const midioutput_record& b) {
                             return a.time < b.time;
                         });
        return sink(batch, outcome.error);
    };

    BlockReader blocks(source);
    std::int64_t next_block = 0;
    std::size_t next_control = 0;
    for (std::int64_t ms = 0;; ++ms) {
        if (!blocks.fill(outcome.error)) return outcome;
        // The millisecond at which the last block has arrived ends the render.
        if (blocks.endKnown()) {
            const std::int64_t samples = blocks.totalBlocks() * kBlock;
            const std::int64_t end_ms = (samples * 1000 + kSampleRate - 1) / kSampleRate;
            if (ms > end_ms) break;
        }
        clock.now = static_cast<double>(ms) / 1000.0;
        if (ms == clock_on_ms && ms > 0) meterticker_midiclock_out(ticker.get(), 1);
        // Every block whose last sample lies at or before now.
        while ((next_block + 1) * kBlock * 1000 <= ms * kSampleRate) {
            if (!blocks.fill(outcome.error)) return outcome;
            if (!blocks.hasBlock()) break;
            const double block_time = static_cast<double>(next_block * kBlock) / kSampleRate;
            meterticker_cbfun(blocks.take(), kBlock, ticker.get(), block_time);
            ++next_block;
        }
        // The performer's controls of this millisecond, at their own times.
        while (next_control < settings.controls.size() &&
               settings.controls[next_control].time <= clock.now) {
            const TimedControl& control = settings.controls[next_control++];
            apply_control(ticker.get(), control.control, control.time);
        }
        if (ms % kFlushMilliseconds == 0 && !flush()) return outcome;
        if (!meterticker_timer_aligned(ticker.get())) {
            // The timer thread looks for the first estimate every 500 ms.
            if (ms % kAlignCheckMilliseconds != 0 || !meterticker_timer_align(ticker.get()))
                continue;
        }
        meterticker_timer_pass(ticker.get());
    }

    // The music has ended: a running clock stops.
    if (meterticker_midi_clock_running(ticker.get())) meterticker_midiclock_out(ticker.get(), 0);
    if (!flush()) return outcome;
    outcome.audio_seconds = static_cast<double>(blocks.totalSamples()) / kSampleRate;
    outcome.ok = true;
    return outcome;
}

RenderOutcome render_engine(const std::vector<float>& mono, const RenderSettings& settings) {
    std::size_t position = 0;
    const RenderAudioSource source = [&](float* out, long max, std::string&) -> long {
        const std::size_t n = std::min(mono.size() - position, static_cast<std::size_t>(max));
        std::copy(mono.begin() + static_cast<std::ptrdiff_t>(position),
                  mono.begin() + static_cast<std::ptrdiff_t>(position + n), out);
        position += n;
        return static_cast<long>(n);
    };
    std::vector<midioutput_record> messages;
    const RenderMessageSink sink = [&](const std::vector<midioutput_record>& batch, std::string&) {
        messages.insert(messages.end(), batch.begin(), batch.end());
        return true;
    };
    RenderOutcome outcome = render_stream(source, sink, settings);
    outcome.messages = std::move(messages);
    return outcome;
}

namespace {

// What the summary line reports, gathered as the messages pass.
struct MessageCounts {
    int starts = 0, clocks = 0, stops = 0, notes_on = 0, notes_off = 0, controllers = 0;
    std::size_t total = 0;
    // The clock's tempo over the second half of the audio.
    double half = 0.0;
    double first_late_clock = -1.0, last_clock = -1.0;
    long late_clocks = 0;

    void count(const midioutput_record& record) {
        ++total;
        const unsigned char status = record.bytes.empty() ? 0 : record.bytes[0];
        if (status == 0xFA) ++starts;
        if (status == 0xFC) ++stops;
        if (status == 0xF8) {
            ++clocks;
            if (record.time >= half) {
                if (first_late_clock < 0.0) first_late_clock = record.time;
                ++late_clocks;
                last_clock = record.time;
            }
        }
        if ((status & 0xF0) == 0x90) ++notes_on;
        if ((status & 0xF0) == 0x80) ++notes_off;
        if ((status & 0xF0) == 0xB0) ++controllers;
    }
};

void print_summary(const std::string& input, const RenderOutcome& outcome,
                   const MessageCounts& counts, double wall_seconds) {
    std::printf("%s: %.1f s of audio rendered in %.2f s (%.0f times real time)\n", input.c_str(),
                outcome.audio_seconds, wall_seconds,
                wall_seconds > 0 ? outcome.audio_seconds / wall_seconds : 0.0);
    std::printf(
        "%zu MIDI messages: %d Start, %d Clock, %d Stop, %d Note On, %d Note Off, "
        "%d Control Change\n",
        counts.total, counts.starts, counts.clocks, counts.stops, counts.notes_on,
        counts.notes_off, counts.controllers);
    if (counts.late_clocks >= 50) {
        const double span = counts.last_clock - counts.first_late_clock;
        const double beats = static_cast<double>(counts.late_clocks - 1) / 24.0;
        if (span > 0)
            std::printf("MIDI clock tempo over the second half of the audio: %.2f BPM\n",
                        60.0 * beats / span);
    }
}

struct Command {
    std::string input;
    std::string midi_path;
    std::string log_path;
    std::string prediction_log_path;
    std::string controls_path;
    std::string osc_log_path;
    std::string osc_prefix = OSC_DEFAULT_PREFIX;
    std::string osc_target;
    bool link = false;
    double anti_delay_ms = 0.0;
    bool notes = false;
    ModelChoice model;
};

int render_command(int argc, char** argv) {
    CLI::App app{
        "Runs the engine over an audio file on a virtual clock and writes every MIDI "
        "message the live engine would have sent, with the time it belongs to (the predicted "
        "tick, less the anti-delay).",
        "kadenzo render"};
    Command command;
    app.add_option("FILE", command.input, "Audio file (any rate and channel count libsndfile reads)")
        ->required();
    app.add_option("-o,--output", command.midi_path,
                   "Standard MIDI File to write (clock bytes as F7 escape events)")
        ->type_name("FILE.mid");
    app.add_option("--log", command.log_path,
                   "Text log to write: TIME<TAB>HEX BYTES per message, TIME in seconds with six "
                   "decimals")
        ->type_name("FILE");
    app.add_option("--anti-delay", command.anti_delay_ms,
                   "Output latency compensation in milliseconds (0 to 500): outputs run this "
                   "much early")
        ->check(finiteRange(0.0, 500.0));
    app.add_flag("--notes", command.notes, "Also send the bar, beat and tatum notes (64, 65, 66)");
    app.add_option("--prediction-log", command.prediction_log_path,
                   "Also write the engine's prediction log: one line per estimate update, "
                   "\"TIME BEAT_PERIOD NEXT_BEAT BAR_PERIOD NEXT_BAR TATUM_PERIOD NEXT_TATUM\" "
                   "in seconds")
        ->type_name("FILE");
    addModelOptions(app, command.model);
    app.add_option("--controls", command.controls_path,
                   "Performer controls to press as the file plays, one a line: TIME ACTION "
                   "[VALUE], TIME in seconds of the file, ACTION one of tap, tempo 2|1/2|3/2|2/3, "
                   "nudge MS (positive: later), bar1, hold on|off, reset, start-on-bar on|off; "
                   "'#' starts a comment")
        ->type_name("FILE");
    app.add_option("--osc-log", command.osc_log_path,
                   "Also write the OSC messages the live engine would send (kadenzo live --osc), "
                   "one a line: TIME<TAB>SENT<TAB>PATH<TAB>TYPES<TAB>ARGUMENTS..., TIME the "
                   "message's time tag and SENT when it would leave (the time tag less the "
                   "anti-delay), in seconds of the file")
        ->type_name("FILE");
    app.add_option("--osc-prefix", command.osc_prefix,
                   "Address prefix of the OSC messages (default /kadenzo)");
    // Accepted only to explain: a render has no real time to send in.
    app.add_option("--osc", command.osc_target, "Not available here: see --osc-log")
        ->type_name("HOST:PORT");
    app.add_flag("--link", command.link, "Not available here: Ableton Link needs real time");
    app.footer(
        "Output files are checked before the work starts (none may be the input or another "
        "output) and appear only once complete. Exit status: 0 on success, 1 when the file "
        "cannot be rendered or an output cannot be written, 2 on a usage error (a control "
        "script with a bad line among them: each is reported with its line number).");
    int status = 0;
    if (!parseCommandLine(app, argc, argv, &status)) return status;

    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "kadenzo render: %s\n", message.c_str());
        return kExitFailure;
    };
    if (!command.osc_target.empty() || command.link) {
        std::fprintf(stderr,
                     "kadenzo render: %s needs real time, which a render does not have; use "
                     "kadenzo live for it, or --osc-log FILE to see the OSC messages a render "
                     "would send\n",
                     command.link ? "--link" : "--osc");
        return kExitUsage;
    }
    if (!osc_prefix_valid(command.osc_prefix)) {
        std::fprintf(stderr, "kadenzo render: --osc-prefix '%s' %s\n",
                     command.osc_prefix.c_str(), OSC_PREFIX_RULE);
        return kExitUsage;
    }
    std::string error;
    RenderSettings settings;
    if (!command.controls_path.empty()) {
        std::ifstream script(command.controls_path);
        if (!script) return fail("cannot read '" + command.controls_path + "'");
        std::vector<std::string> errors;
        settings.controls = parse_control_script(script, &errors);
        if (!errors.empty()) {
            // Nothing is rendered on a script with mistakes.
            for (const std::string& e : errors)
                std::fprintf(stderr, "kadenzo render: %s: %s\n", command.controls_path.c_str(),
                             e.c_str());
            return kExitUsage;
        }
    }
    OutputPlan plan;
    plan.addInput(command.input);
    if (!command.controls_path.empty()) plan.addInput(command.controls_path);
    const std::pair<const char*, const std::string*> outputs[] = {
        {"-o", &command.midi_path},
        {"--log", &command.log_path},
        {"--prediction-log", &command.prediction_log_path},
        {"--osc-log", &command.osc_log_path}};
    for (const auto& output : outputs) {
        if (!output.second->empty() && !plan.addOutput(output.first, *output.second, error))
            return fail(error);
    }

    AudioFileReader reader;
    if (!reader.open(command.input, kSampleRate)) return fail(reader.error());

    removeUnfinishedOutputsOnSignals();
    OutputFile midi_file, log_file, prediction_file, osc_file;
    if (!command.midi_path.empty() && !midi_file.open(command.midi_path, error)) return fail(error);
    if (!command.log_path.empty() && !log_file.open(command.log_path, error)) return fail(error);
    if (!command.prediction_log_path.empty() &&
        !prediction_file.open(command.prediction_log_path, error))
        return fail(error);
    if (!command.osc_log_path.empty() && !osc_file.open(command.osc_log_path, error))
        return fail(error);

    std::optional<RenderMidiWriter> midi_writer;
    std::optional<osc_log_sink> osc_log;
    if (osc_file.isOpen()) {
        osc_log.emplace(osc_file.stream(), command.osc_prefix);
        settings.sinks.push_back(&*osc_log);
    }
    if (midi_file.isOpen()) midi_writer.emplace(midi_file.stream());

    settings.anti_delay = command.anti_delay_ms / 1000.0;
    settings.notes = command.notes;
    settings.model = command.model.model;
    settings.stages = command.model.stages;
    settings.prediction_log = prediction_file.isOpen() ? prediction_file.stream() : nullptr;

    MessageCounts counts;
    counts.half = reader.durationSeconds() / 2.0;
    std::vector<double> piece(kReadSamples);
    const RenderAudioSource source = [&](float* out, long max, std::string& why) -> long {
        const long got = reader.read(piece.data(), std::min<long>(max, kReadSamples));
        if (got < 0) {
            why = reader.error();
            return -1;
        }
        for (long i = 0; i < got; ++i) out[i] = static_cast<float>(piece[i]);
        return got;
    };
    const RenderMessageSink sink = [&](const std::vector<midioutput_record>& batch,
                                       std::string& why) {
        for (const midioutput_record& record : batch) {
            counts.count(record);
            if (midi_writer) midi_writer->add(record);
        }
        if (log_file.isOpen()) {
            write_render_log(log_file.stream(), batch);
            if (std::ferror(log_file.stream())) {
                why = "cannot write '" + command.log_path + "': " + std::strerror(errno);
                return false;
            }
        }
        return true;
    };

    const auto started = std::chrono::steady_clock::now();
    const RenderOutcome outcome = render_stream(source, sink, settings);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!outcome.ok) return fail(outcome.error);

    if (midi_writer && !midi_writer->finish(error))
        return fail("cannot write '" + command.midi_path + "': " + error);
    if (osc_file.isOpen() && std::ferror(osc_file.stream()))
        return fail("cannot write '" + command.osc_log_path + "': " + std::strerror(errno));
    for (OutputFile* file : {&midi_file, &log_file, &prediction_file, &osc_file}) {
        if (file->isOpen() && !file->commit(error)) return fail(error);
    }
    print_summary(command.input, outcome, counts, wall);
    if (osc_log) {
        std::printf("%llu OSC messages\n", static_cast<unsigned long long>(osc_log->written()));
    }
    return kExitOk;
}

}  // namespace

int run_render(int argc, char** argv) {
    // Nothing may escape to main as an uncaught exception.
    try {
        return render_command(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kadenzo render: %s\n", e.what());
        return kExitFailure;
    }
}

KADENZO_SUBCOMMAND(render, "render",
                   "run the engine over an audio file on a virtual clock and write its MIDI",
                   run_render);
