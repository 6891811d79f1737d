#include "meterticker.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <system_error>

#include "common.h"
#include "precondition.h"
#include "prediction.h"

namespace {

const int kSampleRate = 44100;
const double kLargestSample = 1e6;
// Seconds of pulse lists and estimates the tracker keeps (for
// mTracker_get_ticks); older ones are dropped.
const double kTrackerHistorySeconds = 30.0;
// Phase-callback multipliers per level: bar, beat, tatum.
const double kCallbackMultipliers[METERLEVEL_COUNT] = {64.0, 32.0, 16.0};
const char* const kLevelNames[METERLEVEL_COUNT] = {"BAR", "BEAT", "TATUM"};
const double kNoValue = std::numeric_limits<double>::quiet_NaN();

void fill_records(meterticker_state* state) {
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        meterticker_level& level = state->levels[i];
        level.name = kLevelNames[i];
        level.level = i;
        level.ticker = state;

        meterticker_note& note = state->notes[i];
        note.midi = state->midi;
        note.channel = 0;
        note.note = 64 + i;
        note.velocity = 127;
        note.outputs_lock = &state->outputs_lock;

        meterticker_phase_ctrl& ctrl = state->ctrls[i];
        ctrl.midi = state->midi;
        ctrl.level = i;
        ctrl.channel = 0;
        ctrl.controller = 64 + i;
    }
    state->clock.midi = state->midi;
    state->clock.outputs_lock = &state->outputs_lock;

    meterticker_level* bar = &state->levels[METERLEVEL_BAR];
    meterticker_level* tatum = &state->levels[METERLEVEL_TATUM];
    meterticker_note* notes = state->notes;
    meterticker_phase_ctrl* ctrls = state->ctrls;
    const meterticker_tick_action table[METERTICKER_TICK_ACTIONS + 1] = {
        {METERLEVEL_BAR, 1, 0, count_tick, bar, 0, kNoValue},
        {METERLEVEL_BEAT, 1, 0, follow_beat, state, 0, kNoValue},
        {METERLEVEL_TATUM, 1, 0, count_tick, tatum, 0, kNoValue},
        {METERLEVEL_BEAT, 1, 0, midi_clock_at_beat, &state->clock, 0, kNoValue},
        {METERLEVEL_BEAT, 1, 0, sinks_at_beat, state, 0, kNoValue},
        {METERLEVEL_BEAT, 24, 0, midi_clock_update, &state->clock, 0, kNoValue},
        {METERLEVEL_BAR, 1, 0, midi_notes_update, &notes[METERLEVEL_BAR], 1, kNoValue},
        {METERLEVEL_BAR, 1, 0.2, midi_notes_update, &notes[METERLEVEL_BAR], 0, kNoValue},
        {METERLEVEL_BEAT, 1, 0, midi_notes_update, &notes[METERLEVEL_BEAT], 1, kNoValue},
        {METERLEVEL_BEAT, 1, 0.2, midi_notes_update, &notes[METERLEVEL_BEAT], 0, kNoValue},
        {METERLEVEL_TATUM, 1, 0, midi_notes_update, &notes[METERLEVEL_TATUM], 1, kNoValue},
        {METERLEVEL_TATUM, 1, 0.2, midi_notes_update, &notes[METERLEVEL_TATUM], 0, kNoValue},
        {METERLEVEL_BAR, 128, 0, midi_ctrls_update, &ctrls[METERLEVEL_BAR], 0, kNoValue},
        {METERLEVEL_BEAT, 128, 0, midi_ctrls_update, &ctrls[METERLEVEL_BEAT], 0, kNoValue},
        {METERLEVEL_TATUM, 16, 0, midi_ctrls_update, &ctrls[METERLEVEL_TATUM], 0, kNoValue},
        {0, 0, 0, nullptr, nullptr, 0, kNoValue},
    };
    std::copy(std::begin(table), std::end(table), state->actions);
}

// Releases whatever a creation or a close leaves: the timer thread and the
// audio consumer must have ended.
void release(meterticker_state* state) {
    if (state->tracker) {
        std::lock_guard<std::mutex> hold(state->tracker_lock);
        mTracker_close(state->tracker);
        state->tracker = nullptr;
    }
    midioutput_free(state->midi);
    state->midi = nullptr;
    corrections_free(state->performer);
    state->performer = nullptr;
    meterticker_phase_node* node = state->callbacks.load();
    while (node) {
        meterticker_phase_node* next = node->next.load();
        delete node;
        node = next;
    }
    delete state;
}

// Hands count samples to the tracker in pieces that fit the scratch buffer;
// null samples stand for silence. Called with the tracker lock held.
void feed_tracker(meterticker_state* state, const float* samples, std::int64_t count) {
    std::vector<double>& scratch = state->samples;
    const std::int64_t capacity = static_cast<std::int64_t>(scratch.size());
    while (count > 0) {
        const int n = static_cast<int>(std::min(count, capacity));
        if (samples) {
            // Audio lies within +-1; a sample that is no number or far beyond
            // (a broken input) counts as silence.
            for (int i = 0; i < n; ++i)
                scratch[i] = std::fabs(samples[i]) <= kLargestSample ? samples[i] : 0.0;
            samples += n;
        } else {
            std::fill(scratch.begin(), scratch.begin() + n, 0.0);
        }
        mTracker_add_data(state->tracker, scratch.data(), n);
        state->tracker_samples.fetch_add(n, std::memory_order_relaxed);
        count -= n;
    }
}

// 10 log10 of the RMS value, in the engine's single-precision form.
double input_level(const float* samples, int count) {
    float sum = 0.0f;
    for (int i = 0; i < count; ++i) sum += samples[i] * samples[i];
    const float mean_square = sum / static_cast<float>(count);
    if (mean_square == 0.0f) return -100.0;
    return static_cast<float>(10.0 * std::log10(std::sqrt(static_cast<double>(mean_square))));
}

// One line of the prediction log for an estimate stored at engine time t
// (bar, beat, tatum order). Called with the tracker lock held.
void log_prediction(std::FILE* log, double t, const double periods[METERLEVEL_COUNT],
                    const double references[METERLEVEL_COUNT]) {
    std::fprintf(log, "%.6f", t);
    for (int level : {METERLEVEL_BEAT, METERLEVEL_BAR, METERLEVEL_TATUM}) {
        std::fprintf(log, " %.6f %.6f", periods[level],
                     grid_point_after(t, periods[level], references[level]));
    }
    std::fputc('\n', log);
}

}  // namespace

int meterticker_init(sequencer_state* sequencer, int midi_port, meterticker_state** out,
                     const meterticker_options* options) {
    const meterticker_options defaults;
    const meterticker_options& opts = options ? *options : defaults;

    meterticker_state* state = new (std::nothrow) meterticker_state;
    auto fail = [&](int status) {
        std::fprintf(stderr, "TMMeterTicker: initialization failed\n");
        if (state) release(state);
        return status;
    };
    if (!state) return fail(1);
    state->sequencer = sequencer;
    state->requested_port = midi_port;
    state->manual = opts.manual;
    state->dropped_seen = sequencer ? sequencer_dropped_samples(sequencer) : 0;

    try {
        state->samples.assign(SEQUENCER_RING_LENGTH, 0.0);
        state->tracker = new meterTracker::mTracker(kSampleRate, opts.model, opts.stages);
        // The ticker reads only the newest estimates: the tracker's
        // history stays bounded however long the engine runs.
        if (state->tracker) mTracker_set_history_limit(state->tracker, kTrackerHistorySeconds);
    } catch (const std::exception& e) {
        tm_logmsg(3, "TMMeterTicker: tracker creation failed: %s", e.what());
        return fail(1);
    }
    if (!state->tracker) return fail(1);
    state->performer = corrections_new();
    if (!state->performer) return fail(1);

    state->midi = midioutput_init(opts.midi_recorder);
    if (!state->midi) {
        tm_logmsg(3, "No MIDI output available");
        if (opts.require_midi) return fail(3);
    } else if (!midioutput_own_port_open(state->midi) &&
               midioutput_open(state->midi, midi_port) != 0) {
        tm_logmsg(3, "No MIDI ports available");
        if (opts.require_midi) return fail(3);
        // Without require_midi the driver stays, with no port open, so that
        // a later port change can still open one.
    }

    fill_records(state);

    if (!opts.manual) {
        if (!sequencer) return fail(1);
        // The sequencer's slots are not reused; a full table would be fatal there.
        if (sequencer->consumer_count.load() >= SEQUENCER_MAX_CONSUMERS) {
            tm_logmsg(3, "TMMeterTicker: no free audio consumer slot");
            return fail(1);
        }
        const int status = sequencer_audio_cons_add(sequencer, meterticker_cbfun, state);
        if (status != 0) return fail(status);
        try {
            state->timer_thread = std::thread(meterticker_timer_thread, state);
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "TMMeterTicker: creation of timer thread failed\n%s\n", e.what());
            sequencer_audio_cons_rem(sequencer, meterticker_cbfun, state);
            const int code = e.code().value();
            return fail(code != 0 ? code : 1);
        }
    }

    state->prediction_log = opts.prediction_log;
    *out = state;
    return 0;
}

int meterticker_init_manual_recorded(sequencer_state* sequencer, const char* port_name,
                                     midioutput_clock_cb clock, void* clock_user,
                                     meterticker_state** out, meterTracker::TrackingModel model,
                                     const meterTracker::EnhancedStages& stages) {
    const char* const ports[] = {port_name, nullptr};
    midioutput_recorder_config recorder;
    recorder.port_names = ports;  // copied by the driver
    recorder.clock = clock;
    recorder.clock_user = clock_user;
    recorder.quiet = true;
    meterticker_options options;
    options.model = model;
    options.stages = stages;
    options.midi_recorder = &recorder;
    options.manual = true;
    return meterticker_init(sequencer, 0, out, &options);
}

void meterticker_close(meterticker_state* state) {
    if (!state) return;
    state->stop_request.store(1);
    tm_logmsg(0, "TMMeterTicker: stopping timer thread\n");
    if (state->timer_thread.joinable()) {
        tm_logmsg(0, "TMMeterTicker: joining timer thread");
        try {
            state->timer_thread.join();
        } catch (const std::system_error&) {
            tm_logmsg(0, "TMMeterTicker: joining timer thread failed\n");
        }
        const int result = state->timer_result.load();
        if (result >= 0) tm_logmsg(0, "TMMeterTicker: timer thread returned %d\n", result);
    }
    sinkfeed_close(state);
    if (state->midi) {
        tm_logmsg(0, "TMMeterTicker: closing midi output\n");
        midioutput_close(state->midi);
    }
    tm_logmsg(0, "TMMeterTicker: removing audio callback\n");
    if (!state->manual && state->sequencer) {
        sequencer_audio_cons_rem(state->sequencer, meterticker_cbfun, state);
    }
    release(state);
    tm_logmsg(0, "TMMeterTicker: closed");
}

int meterticker_cbfun(const float* samples, int count, void* user, double /*time*/) {
    auto* state = static_cast<meterticker_state*>(user);
    if (!state || !samples || count <= 0) return 0;
    // Nothing may leave the consumer thread; a failing tracker costs this
    // stretch only.
    try {
        const double level = input_level(samples, count);
        state->input_level.store(level, std::memory_order_relaxed);
        state->nonbeatyness.store(level, std::memory_order_relaxed);

        double tatum_period = 0, beat_period = 0, bar_period = 0;
        double tatum_phase = 0, beat_phase = 0, bar_phase = 0;
        double confidence = 0.0;
        bool fresh = false;
        {
            std::lock_guard<std::mutex> hold(state->tracker_lock);
            // Samples the sequencer dropped never reach us; silence in their
            // place keeps the tracker's time axis on the engine clock.
            if (state->sequencer) {
                const std::int64_t dropped = sequencer_dropped_samples(state->sequencer);
                if (dropped > state->dropped_seen) {
                    feed_tracker(state, nullptr, dropped - state->dropped_seen);
                    state->dropped_seen = dropped;
                }
            }
            feed_tracker(state, samples, count);
            fresh = mTracker_process(state->tracker) != 0;
            if (fresh) {
                mTracker_get_period_est(state->tracker, &tatum_period, &beat_period, &bar_period,
                                        &tatum_phase, &beat_phase, &bar_phase);
                confidence = mTracker_get_confidence(state->tracker);
            }
        }
        if (fresh) {
            meterticker_set_confidence(state, confidence);
            const double periods[METERLEVEL_COUNT] = {bar_period, beat_period, tatum_period};
            const double references[METERLEVEL_COUNT] = {bar_phase, beat_phase, tatum_phase};
            if (meterticker_set_estimates(state, periods, references)) {
                std::lock_guard<std::mutex> hold(state->tracker_lock);
                if (state->prediction_log) {
                    // What the ticker now follows: the smoothed and corrected grid.
                    meterticker_estimate estimate;
                    meterticker_read_estimate(state, &estimate);
                    const double covered =
                        static_cast<double>(state->tracker_samples.load()) / kSampleRate;
                    log_prediction(state->prediction_log, covered, estimate.grid.periods,
                                   estimate.grid.references);
                }
            }
        }
    } catch (const std::exception& e) {
        tm_logmsg(3, "TMMeterTicker: audio analysis failed: %s", e.what());
    } catch (...) {
        tm_logmsg(3, "TMMeterTicker: audio analysis failed");
    }
    return 0;
}

namespace {

// Publishes the ticker's estimate; a performer's step also counts up the
// steps with the time it applies from. Called with estimates_lock held.
void publish(meterticker_state* state, const meter_grid& grid, bool step, double switch_at) {
    const unsigned sequence = state->estimate_sequence.load(std::memory_order_relaxed);
    state->estimate_sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        state->levels[i].period.store(grid.periods[i], std::memory_order_relaxed);
        state->levels[i].reference.store(grid.references[i], std::memory_order_relaxed);
    }
    if (step) {
        state->estimate_switch_at.store(switch_at, std::memory_order_relaxed);
        state->estimate_step.store(++state->steps, std::memory_order_relaxed);
    }
    state->estimate_sequence.store(sequence + 2, std::memory_order_release);
    const bool tapped = corrections_get_status(state->performer).tapped;
    state->clock.settled.store(state->grid_settled || tapped ? 1 : 0);
}

// A tempo preference the corrections asked for reaches the tracker. Called
// with estimates_lock held (tracker_lock comes after it).
void pass_on_preference(meterticker_state* state) {
    double beat = 0.0;
    if (!corrections_take_preference(state->performer, &beat)) return;
    const double* chosen = state->preference;
    double bar = chosen[METERLEVEL_BAR], tatum = chosen[METERLEVEL_TATUM];
    if (beat > 0.0) {
        // The application's preference moved to the tapped beat, its levels
        // keeping their proportions.
        bar = beat * chosen[METERLEVEL_BAR] / chosen[METERLEVEL_BEAT];
        tatum = beat * chosen[METERLEVEL_TATUM] / chosen[METERLEVEL_BEAT];
    } else {
        beat = chosen[METERLEVEL_BEAT];
    }
    std::lock_guard<std::mutex> hold(state->tracker_lock);
    mTracker_change_myyValues(state->tracker, bar, beat, tatum);
}

// A performer's command: the new corrected grid, published.
template <typename Command>
void correct(meterticker_state* state, Command&& command) {
    std::lock_guard<std::mutex> hold(state->estimates_lock);
    const corrections_change change = command(state->performer);
    meter_grid grid;
    if (change.changed && corrections_output(state->performer, &grid) && meter_grid_valid(grid)) {
        publish(state, grid, change.step, change.switch_at);
    }
    pass_on_preference(state);
}

}  // namespace

bool meterticker_set_estimates(meterticker_state* state, const double periods[METERLEVEL_COUNT],
                               const double references[METERLEVEL_COUNT]) {
    meter_grid tracked;
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        tracked.periods[i] = periods[i];
        tracked.references[i] = references[i];
    }
    if (!meter_grid_valid(tracked)) return false;  // the previous estimate stays in force
    std::lock_guard<std::mutex> hold(state->estimates_lock);
    meter_grid smoothed, corrected;
    state->grid_settled = gridsmoother_update(&state->smoother, tracked, &smoothed);
    corrections_apply(state->performer, smoothed, &corrected);
    if (meter_grid_valid(corrected)) publish(state, corrected, false, 0.0);
    pass_on_preference(state);
    return true;
}

void meterticker_read_estimate(const meterticker_state* state, meterticker_estimate* out) {
    // Rarely more than one round: a writer holds the sequence odd for a few
    // stores. After many rounds the values read are taken as they are.
    for (int round = 0; round < 1000; ++round) {
        const unsigned before = state->estimate_sequence.load(std::memory_order_acquire);
        for (int i = 0; i < METERLEVEL_COUNT; ++i) {
            out->grid.periods[i] = state->levels[i].period.load(std::memory_order_relaxed);
            out->grid.references[i] = state->levels[i].reference.load(std::memory_order_relaxed);
        }
        out->step = state->estimate_step.load(std::memory_order_relaxed);
        out->switch_at = state->estimate_switch_at.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        const unsigned after = state->estimate_sequence.load(std::memory_order_relaxed);
        out->sequence = before;
        if (before == after && (before & 1u) == 0) return;
        std::this_thread::yield();
    }
}

void meterticker_tap(meterticker_state* state, double at) {
    correct(state, [&](corrections* c) { return corrections_tap(c, at); });
}

void meterticker_tempo_factor(meterticker_state* state, int numerator, int denominator,
                              double at) {
    // The timer runs ahead of the clock by the anti-delay and the MIDI lead.
    const double ahead = at + state->anti_delay.load(std::memory_order_relaxed) +
                         (state->midi ? midioutput_get_lead(state->midi) : 0.0);
    correct(state, [&](corrections* c) {
        return corrections_tempo_factor(c, numerator, denominator, ahead);
    });
}

void meterticker_nudge(meterticker_state* state, double seconds, double at) {
    correct(state, [&](corrections* c) { return corrections_nudge(c, seconds, at); });
}

void meterticker_bar_one(meterticker_state* state, double at) {
    correct(state, [&](corrections* c) { return corrections_bar_one(c, at); });
}

void meterticker_hold(meterticker_state* state, bool on, double at) {
    correct(state, [&](corrections* c) { return corrections_hold(c, on, at); });
}

void meterticker_reset_corrections(meterticker_state* state, double at) {
    correct(state, [&](corrections* c) { return corrections_reset(c, at); });
}

int meterticker_describe_corrections(meterticker_state* state, char* text, int size) {
    std::lock_guard<std::mutex> hold(state->estimates_lock);
    return corrections_describe(state->performer, text, size);
}

corrections_status meterticker_corrections_status(meterticker_state* state) {
    std::lock_guard<std::mutex> hold(state->estimates_lock);
    return corrections_get_status(state->performer);
}

void meterticker_set_start_on_bar(meterticker_state* state, bool on) {
    state->clock.start_on_bar.store(on ? 1 : 0);
}

bool meterticker_start_on_bar(meterticker_state* state) {
    return state->clock.start_on_bar.load() != 0;
}

double meterticker_now(meterticker_state* state) {
    return state->sequencer ? TMSeq_get_current_time(state->sequencer) : 0.0;
}

double meterticker_full_phase(const meterticker_level& level, double t) {
    const double previous = level.previous_tick.load(std::memory_order_relaxed);
    const double next = level.next_tick.load(std::memory_order_relaxed);
    const double from = level.phase_at_previous.load(std::memory_order_relaxed);
    const double to = level.phase_at_next.load(std::memory_order_relaxed);
    double fraction = (t - previous) / (next - previous);
    // Stops at the segment's end until the timer moves on; a time before the
    // segment (clock or anti-delay moved back) counts as its start.
    if (!(fraction > 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    return from + (to - from) * fraction;
}

void meterticker_get_phases(meterticker_state* state, double out[METERLEVEL_COUNT]) {
    const double t = meterticker_now(state) + state->anti_delay.load(std::memory_order_relaxed);
    for (int i = 0; i < METERLEVEL_COUNT; ++i) out[i] = meterticker_full_phase(state->levels[i], t);
}

double meterticker_get_phase(meterticker_state* state, int meterlevel) {
    TM_PRECONDITION(meterlevel > 0 && meterlevel < METERLEVEL_COUNT,
                    "meterlevel > 0 && meterlevel < METERLEVEL_COUNT");
    const double t = meterticker_now(state) + state->anti_delay.load(std::memory_order_relaxed);
    return meterticker_full_phase(state->levels[meterlevel], t);
}

double meterticker_get_level(meterticker_state* state) {
    return state->input_level.load(std::memory_order_relaxed);
}

double meterticker_get_nonbeatyness(meterticker_state* state) {
    return state->nonbeatyness.load(std::memory_order_relaxed);
}

double meterticker_get_bpm(meterticker_state* state) {
    return 60.0 / state->levels[METERLEVEL_BEAT].period.load(std::memory_order_relaxed);
}

double meterticker_get_anti_delay(meterticker_state* state) {
    return state->anti_delay.load(std::memory_order_relaxed);
}

void meterticker_set_anti_delay(meterticker_state* state, double seconds) {
    if (!std::isfinite(seconds)) {
        tm_logmsg(3, "TMMeterTicker: anti-delay %f ignored", seconds);
        return;
    }
    state->anti_delay.store(seconds, std::memory_order_relaxed);
}

void meterticker_set_prediction_log(meterticker_state* state, std::FILE* log) {
    std::lock_guard<std::mutex> hold(state->tracker_lock);
    state->prediction_log = log;
}

double meterticker_change_half_time(meterticker_state* state, double seconds) {
    std::lock_guard<std::mutex> hold(state->tracker_lock);
    return mTracker_change_half_time(state->tracker, seconds);
}

void meterticker_change_myyValues(meterticker_state* state, double bar, double beat, double tatum) {
    std::lock_guard<std::mutex> estimates(state->estimates_lock);
    state->preference[METERLEVEL_BAR] = bar;
    state->preference[METERLEVEL_BEAT] = beat;
    state->preference[METERLEVEL_TATUM] = tatum;
    std::lock_guard<std::mutex> hold(state->tracker_lock);
    mTracker_change_myyValues(state->tracker, bar, beat, tatum);
}

meterticker_phase_node* meterticker_register_phase_cb(meterticker_state* state, int level,
                                                      void* user, meterticker_phase_cb callback) {
    if (level < 0 || level >= METERLEVEL_COUNT || !callback) {
        tm_logmsg(3, "TMMeterTicker: phase callback for level %d refused", level);
        return nullptr;
    }
    auto* node = new (std::nothrow) meterticker_phase_node;
    if (!node) return nullptr;
    node->level = level;
    node->multiplier = kCallbackMultipliers[level];
    node->callback = callback;
    node->user = user;
    // Appended fully built with one pointer store: the timer thread sees the
    // list with or without it.
    std::atomic<meterticker_phase_node*>* link = &state->callbacks;
    while (meterticker_phase_node* next = link->load(std::memory_order_acquire)) {
        link = &next->next;
    }
    link->store(node, std::memory_order_release);
    return node;
}

void meterticker_unregister_phase_cb(meterticker_state* state, void* user) {
    // Wait for the timer thread's walk (or another remover) to end.
    int expected = METERTICKER_GUARD_FREE;
    while (!state->list_guard.compare_exchange_weak(expected, METERTICKER_GUARD_REMOVING,
                                                    std::memory_order_acq_rel)) {
        expected = METERTICKER_GUARD_FREE;
        std::this_thread::yield();
    }
    std::atomic<meterticker_phase_node*>* link = &state->callbacks;
    while (meterticker_phase_node* node = link->load(std::memory_order_acquire)) {
        if (node->user == user) {
            link->store(node->next.load(std::memory_order_acquire), std::memory_order_release);
            delete node;
            break;
        }
        link = &node->next;
    }
    state->list_guard.store(METERTICKER_GUARD_FREE, std::memory_order_release);
}

void meterticker_send_midi_message(meterticker_state* state, int kind, int channel, int number,
                                   int value) {
    if (kind == 0) {
        midioutput_send_note_on(state->midi, channel, number, value);
    } else {
        midioutput_send_ctrl(state->midi, channel, number, value);
    }
}

void meterticker_midiclock_out(meterticker_state* state, int on) {
    std::lock_guard<std::mutex> hold(state->outputs_lock);
    if (on) {
        tm_logmsg(0, "Enabling MIDI Clock");
        state->clock.start_pending.store(1);
        state->clock.enabled.store(1);
    } else {
        tm_logmsg(0, "Disabling MIDI Clock");
        state->clock.enabled.store(0);
        midioutput_send_stop(state->midi);
    }
}

void meterticker_set_confidence(meterticker_state* state, double confidence) {
    const corrections_status performer = [state] {
        std::lock_guard<std::mutex> hold(state->estimates_lock);
        return corrections_get_status(state->performer);
    }();
    const bool sure = confidence >= meterTracker::kSteadyBeatConfidence || performer.tapped ||
                      performer.holding;
    state->unsteady_updates = sure ? 0 : state->unsteady_updates + 1;
    state->steady_updates = sure ? state->steady_updates + 1 : 0;
    std::lock_guard<std::mutex> hold(state->outputs_lock);
    meterticker_clock& clock = state->clock;
    if (sure) {
        clock.steady.store(state->steady_updates >= METERTICKER_STEADY_UPDATES ||
                           performer.tapped || performer.holding);
        return;
    }
    clock.steady.store(0);
    if (state->unsteady_updates == METERTICKER_UNSTEADY_UPDATES && clock.enabled.load() &&
        !clock.start_pending.load()) {
        // No steady beat any more: the slaved machines stop, and start again
        // with the music.
        tm_logmsg(1, "MeterTicker: no steady beat; the clock waits for one");
        clock.start_pending.store(1);
        midioutput_send_stop(clock.midi);
    }
}

bool meterticker_has_steady_beat(meterticker_state* state) {
    return state->clock.steady.load() != 0;
}

bool meterticker_midi_clock_running(meterticker_state* state) {
    std::lock_guard<std::mutex> hold(state->outputs_lock);
    return state->clock.enabled.load() && !state->clock.start_pending.load();
}

void meterticker_midinote_out(meterticker_state* state, int on) {
    std::lock_guard<std::mutex> hold(state->outputs_lock);
    for (meterticker_note& note : state->notes) {
        if (on) {
            note.enabled.store(1);
            continue;
        }
        note.enabled.store(0);
        if (note.sounding.load()) {
            note.sounding.store(0);
            midioutput_send_note_off(note.midi, note.channel, note.note, 0);
        }
    }
}

void meterticker_midiphase_out(meterticker_state* state, int on) {
    if (on) {
        tm_logmsg(0, "Enabling MIDI Phase");
        state->ctrls[METERLEVEL_BAR].enabled.store(1);
        state->ctrls[METERLEVEL_BEAT].enabled.store(1);
        state->ctrls[METERLEVEL_TATUM].enabled.store(0);
    } else {
        tm_logmsg(0, "Disabling MIDI Phase");
        for (meterticker_phase_ctrl& ctrl : state->ctrls) ctrl.enabled.store(0);
        midioutput_send_stop(state->midi);
    }
}

midioutput_state* meterticker_midi(meterticker_state* state) {
    return state->midi;
}

std::int64_t meterticker_tracker_samples(const meterticker_state* state) {
    return state->tracker_samples.load(std::memory_order_relaxed);
}

void midi_clock_at_beat(const double* /*full_phases*/, void* data, int /*argument*/,
                        double time) {
    auto* clock = static_cast<meterticker_clock*>(data);
    std::lock_guard<std::mutex> hold(*clock->outputs_lock);
    // The follower has placed this beat (row 2 runs before this one).
    if (clock->enabled.load() && clock->start_pending.load() && clock->settled.load() &&
        clock->steady.load() && clock->beat_on_grid &&
        (clock->beat_starts_bar || !clock->start_on_bar.load())) {
        clock->start_pending.store(0);
        midioutput_send_start_at(clock->midi, time);
    }
}

void midi_clock_update(const double* /*full_phases*/, void* data, int /*argument*/, double time) {
    auto* clock = static_cast<meterticker_clock*>(data);
    std::lock_guard<std::mutex> hold(*clock->outputs_lock);
    if (clock->enabled.load() && !clock->start_pending.load()) {
        midioutput_send_clock_at(clock->midi, time);
    }
}

void midi_notes_update(const double* /*full_phases*/, void* data, int argument, double time) {
    auto* note = static_cast<meterticker_note*>(data);
    std::lock_guard<std::mutex> hold(*note->outputs_lock);
    if (!note->enabled.load()) return;
    if (argument == 1) {
        note->sounding.store(1);
        midioutput_send_note_on_at(note->midi, note->channel, note->note, note->velocity, time);
    } else {
        note->sounding.store(0);
        midioutput_send_note_off_at(note->midi, note->channel, note->note, 0, time);
    }
}

void midi_ctrls_update(const double* full_phases, void* data, int /*argument*/, double time) {
    auto* ctrl = static_cast<meterticker_phase_ctrl*>(data);
    if (!ctrl->enabled.load(std::memory_order_relaxed)) return;
    const int value = static_cast<int>(std::fmod(full_phases[ctrl->level], 1.0) * 127.0);
    midioutput_send_ctrl_at(ctrl->midi, ctrl->channel, ctrl->controller, value, time);
}

bool meterticker_attach_sink(meterticker_state* state, output_sink* sink) {
    return sinkfeed_attach(state, sink);
}
