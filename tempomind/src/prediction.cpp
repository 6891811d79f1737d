#include "prediction.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "common.h"

namespace {

const int kWaitMilliseconds = 500;
// The waiting phase sleeps in short slices so that closing never waits long.
const int kWaitSliceMilliseconds = 10;
// Between passes: a message sent the moment its pass sees it needs passes
// every millisecond; one that carries its time stamp (a backend with a lead)
// only needs to be queued early enough. The lead grows by the interval (see
// output_lead), so a longer one costs a little reaction time to new
// estimates and saves wake-ups: at 4 ms they were a quarter of a running
// rig's CPU time.
const int kImmediatePassMilliseconds = 1;
const int kStampedPassMilliseconds = 10;  // the longest
// A pass sends at most one Clock (the newest crossing), so stamped passes
// come at least twice per Clock interval: at 120 BPM a Clock is 20.8 ms.
const double kClocksPerBeat = 24.0;
// The phase controllers step 128 times a beat (and a bar), one value a
// pass: while they are on, a pass for every step of the beat's.
const double kControllerStepsPerBeat = 128.0;

// Whether a scaled phase reached a whole number since the previous pass: its
// whole part grew. Unlike a fraction that decreases, this holds for scaled
// phases below zero too (an offset row at the very start, where the phases
// begin at 0) and for an advance from one whole number to the next. No
// previous value (NaN, the first pass) counts as no advance.
bool crossed(double previous_value, double value) {
    return std::floor(value) > std::floor(previous_value);
}

// A row's scaled phase: whole numbers where its action is due.
double row_value(const meterticker_tick_action& row, const double* phases) {
    return phases[row.level] * row.multiplier - row.offset;
}

// A level's current segment as it stood at the start of a pass.
struct LevelSegment {
    double previous, next;          // times
    double phase_from, phase_to;    // full phases at those times
};

LevelSegment segment_of(const meterticker_level& level) {
    return {level.previous_tick.load(std::memory_order_relaxed),
            level.next_tick.load(std::memory_order_relaxed),
            level.phase_at_previous.load(std::memory_order_relaxed),
            level.phase_at_next.load(std::memory_order_relaxed)};
}

// The time at which the full phase reached `phase` in the segment: the
// inverse of meterticker_full_phase. Never after the pass time t (rounding).
double time_of_phase(const LevelSegment& segment, double phase, double t) {
    const double span = segment.phase_to - segment.phase_from;
    const double share = span > 0.0 ? (phase - segment.phase_from) / span : 1.0;
    const double at = segment.previous + share * (segment.next - segment.previous);
    return at <= t ? at : t;
}

// The full phase of every level at time t.
void phases_at(const meterticker_state* state, double t, double* phases) {
    for (int i = 0; i < METERLEVEL_COUNT; ++i)
        phases[i] = meterticker_full_phase(state->levels[i], t);
}

// A phase callback's scaled phase: whole numbers where it is called.
double node_value(const meterticker_phase_node& node, const double* phases) {
    return node.multiplier * phases[node.level];
}

// Calls visit(node) for every phase callback, unless a remover holds the
// list (then none this time).
template <typename Visit>
void for_each_phase_node(meterticker_state* state, Visit visit) {
    int expected = METERTICKER_GUARD_FREE;
    if (!state->list_guard.compare_exchange_strong(expected, METERTICKER_GUARD_WALKING,
                                                   std::memory_order_acq_rel)) {
        return;
    }
    // Released even when a callback throws, so that a remover never waits for ever.
    struct Release {
        std::atomic<int>& guard;
        ~Release() { guard.store(METERTICKER_GUARD_FREE, std::memory_order_release); }
    } release{state->list_guard};

    for (meterticker_phase_node* node = state->callbacks.load(std::memory_order_acquire); node;
         node = node->next.load(std::memory_order_acquire)) {
        visit(*node);
    }
}

// Every crossing detector (action rows and phase callbacks) starts from the
// phases at the alignment. Left without a value, a first pass that comes
// only after the first segment's end (the clock jumped just after the
// alignment) would find the beat held at the segment's whole number, see no
// crossing, and never move on.
void start_crossings(meterticker_state* state, const double* phases) {
    for (meterticker_tick_action* row = state->actions; row->action; ++row) {
        row->previous_value = row_value(*row, phases);
    }
    for_each_phase_node(state, [phases](meterticker_phase_node& node) {
        node.previous_value = node_value(node, phases);
    });
}

void dispatch_phase_callbacks(meterticker_state* state, const double* phases) {
    for_each_phase_node(state, [phases](meterticker_phase_node& node) {
        const double value = node_value(node, phases);
        if (crossed(node.previous_value, value)) node.callback(node.user, phases[node.level]);
        node.previous_value = value;
    });
}

// A backend with a lead writes each message at its time stamp.
bool stamped_output(const meterticker_state* state) {
    return state->midi && midioutput_get_lead(state->midi) > 0.0;
}

}  // namespace

int meterticker_pass_interval_ms(const meterticker_state* state) {
    if (!stamped_output(state)) return kImmediatePassMilliseconds;
    // The beat's length at the rate its phase runs now: a segment of the
    // follower may cover more or less than a beat while it corrects.
    const meterticker_level& beat = state->levels[METERLEVEL_BEAT];
    const double seconds = beat.next_tick.load(std::memory_order_relaxed) -
                           beat.previous_tick.load(std::memory_order_relaxed);
    const double beats = beat.phase_at_next.load(std::memory_order_relaxed) -
                         beat.phase_at_previous.load(std::memory_order_relaxed);
    const double beat_seconds = beats > 0.0 ? seconds / beats : 0.0;
    double longest_ms = 1000.0 * beat_seconds / (2.0 * kClocksPerBeat);
    const bool phases_out =
        state->ctrls[METERLEVEL_BEAT].enabled.load(std::memory_order_relaxed) != 0 ||
        state->ctrls[METERLEVEL_BAR].enabled.load(std::memory_order_relaxed) != 0;
    if (phases_out) longest_ms = std::min(longest_ms, 1000.0 * beat_seconds / kControllerStepsPerBeat);
    if (!(longest_ms >= kImmediatePassMilliseconds)) return kImmediatePassMilliseconds;
    return static_cast<int>(std::min(longest_ms, double(kStampedPassMilliseconds)));
}

namespace {

// How far ahead of the clock the loop runs beyond the anti-delay: a backend
// that writes each message at its time (JACK) must have it a period early,
// and a pass may come a whole pass interval after a crossing.
double output_lead(const meterticker_state* state) {
    return stamped_output(state)
               ? midioutput_get_lead(state->midi) + kStampedPassMilliseconds / 1000.0
               : 0.0;
}

}  // namespace

bool meterticker_timer_aligned(const meterticker_state* state) {
    return state->aligned.load(std::memory_order_acquire);
}

bool meterticker_timer_align(meterticker_state* state) {
    if (meterticker_timer_aligned(state)) return true;
    const double now = meterticker_now(state);
    if (!std::isfinite(now)) return false;
    // The loop's phases run ahead of the clock by the anti-delay; the first
    // ticks must lie ahead of that time too.
    const double ahead =
        now + state->anti_delay.load(std::memory_order_relaxed) + output_lead(state);
    if (!clockfollower_align(state, now, ahead)) return false;
    double phases[METERLEVEL_COUNT];
    phases_at(state, ahead, phases);
    start_crossings(state, phases);
    state->aligned.store(true, std::memory_order_release);
    return true;
}

void meterticker_timer_pass(meterticker_state* state) {
    if (!meterticker_timer_aligned(state)) return;
    const double now = meterticker_now(state);
    if (!std::isfinite(now)) {
        if (!state->clock_invalid_warned) {
            tm_logmsg(2, "MeterTicker: the engine clock gave %f; timer passes skipped", now);
            state->clock_invalid_warned = true;
        }
        return;
    }
    state->clock_invalid_warned = false;
    const double anti_delay = state->anti_delay.load(std::memory_order_relaxed);
    // Each action's time stamp is its crossing less the anti-delay; the
    // lead only makes the crossings come early enough to be queued.
    double t = now + anti_delay + output_lead(state);
    // Phases never run backwards: while the clock (or the clock plus a
    // reduced anti-delay) is behind the last pass, time stands still.
    if (state->pass_seen && t < state->last_pass_time) {
        if (!state->clock_back_warned) {
            tm_logmsg(2, "MeterTicker: the engine clock went back %.6f s; holding the phases",
                      state->last_pass_time - t);
            state->clock_back_warned = true;
        }
        t = state->last_pass_time;
    } else {
        state->clock_back_warned = false;
    }
    state->pass_seen = true;
    state->last_pass_time = t;
    state->pass_time = t;
    sinkfeed_begin_pass(state, now, anti_delay);

    double phases[METERLEVEL_COUNT];
    LevelSegment segments[METERLEVEL_COUNT];
    phases_at(state, t, phases);
    for (int i = 0; i < METERLEVEL_COUNT; ++i) segments[i] = segment_of(state->levels[i]);

    // Every row sees the same phases and segments, those from before any
    // action of this pass ran; prediction rows come first in the table. Each
    // action gets the moment its crossing happened (the newest integer the
    // scaled phase reached) on the engine clock, and its level's phase at
    // that moment: what its output belongs to, however late in the pass it
    // was noticed.
    for (meterticker_tick_action* row = state->actions; row->action; ++row) {
        const double value = row_value(*row, phases);
        if (crossed(row->previous_value, value)) {
            double at_crossing[METERLEVEL_COUNT] = {phases[0], phases[1], phases[2]};
            at_crossing[row->level] = (std::floor(value) + row->offset) / row->multiplier;
            const double at =
                time_of_phase(segments[row->level], at_crossing[row->level], t) - anti_delay;
            row->action(at_crossing, row->data, row->argument, at);
        }
        row->previous_value = value;
    }

    dispatch_phase_callbacks(state, phases);
    clockfollower_reaim(state, t);
    sinkfeed_end_pass(state, t);
}

void meterticker_timer_thread(meterticker_state* state) {
    try {
        tm_logmsg(0, "MeterTicker: timer thread started");
        while (!state->stop_request.load()) {
            if (meterticker_timer_align(state)) break;
            for (int slept = 0; slept < kWaitMilliseconds && !state->stop_request.load();
                 slept += kWaitSliceMilliseconds) {
                TMSleep(kWaitSliceMilliseconds);
            }
            if (state->stop_request.load()) break;
            tm_logmsg(0, "Meterticker: waiting for period estimates ...");
        }
    } catch (const std::exception& e) {
        tm_logmsg(3, "MeterTicker: timer thread failed: %s", e.what());
        state->timer_result.store(1);
        return;
    } catch (...) {
        tm_logmsg(3, "MeterTicker: timer thread failed");
        state->timer_result.store(1);
        return;
    }

    while (!state->stop_request.load()) {
        // A failing phase callback costs its pass, not the timer.
        try {
            meterticker_timer_pass(state);
        } catch (const std::exception& e) {
            tm_logmsg(3, "MeterTicker: timer pass failed: %s", e.what());
        } catch (...) {
            tm_logmsg(3, "MeterTicker: timer pass failed");
        }
        TMSleep(meterticker_pass_interval_ms(state));
    }
}
