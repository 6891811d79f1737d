#include "prediction.h"

#include <cmath>
#include <exception>

#include "common.h"

namespace {

const int kWaitMilliseconds = 500;
// The waiting phase sleeps in short slices so that closing never waits long.
const int kWaitSliceMilliseconds = 10;

// The first point R + kP of a grid that lies strictly after t. A grid point
// at or before the current pass time would leave the level's phase at a whole
// number from the first pass on, and its tick would never be detected.
double first_grid_point_after(double t, double period, double reference) {
    double next = (std::floor((t - reference) / period) + 1.0) * period + reference;
    if (!(next > t)) next += period;
    if (!(next > t)) next = t + period;  // the grid's resolution is exhausted at this time
    return next;
}

// Whether a scaled phase crossed an integer since the previous pass: its
// fraction decreased, or it advanced by a whole unit or more (from a whole
// number to the next, the fraction alone stays 0 and shows nothing). No
// previous value (NaN) counts as no advance.
bool crossed(double previous_fraction, double previous_value, double fraction, double value) {
    return previous_fraction > fraction || value - previous_value >= 1.0;
}

void dispatch_phase_callbacks(meterticker_state* state, const double* phases) {
    int expected = METERTICKER_GUARD_FREE;
    if (!state->list_guard.compare_exchange_strong(expected, METERTICKER_GUARD_WALKING,
                                                   std::memory_order_acq_rel)) {
        return;  // a remover holds the list: no callbacks in this pass
    }
    // Released even when a callback throws, so that a remover never waits for ever.
    struct Release {
        std::atomic<int>& guard;
        ~Release() { guard.store(METERTICKER_GUARD_FREE, std::memory_order_release); }
    } release{state->list_guard};

    for (meterticker_phase_node* node = state->callbacks.load(std::memory_order_acquire); node;
         node = node->next.load(std::memory_order_acquire)) {
        const double phase = phases[node->level];
        const double value = node->multiplier * phase;
        const double fraction = std::fmod(value, 1.0);
        if (crossed(node->previous_fraction, node->previous_value, fraction, value)) {
            node->callback(node->user, phase);
        }
        node->previous_fraction = fraction;
        node->previous_value = value;
    }
}

}  // namespace

void update_next_tick(const double* /*full_phases*/, void* data, int /*argument*/,
                      double /*time*/) {
    auto* level = static_cast<meterticker_level*>(data);
    const double P = level->period.load(std::memory_order_relaxed);
    const double R = level->reference.load(std::memory_order_relaxed);
    const double N = level->next_tick.load(std::memory_order_relaxed);
    if (!(P > 0.0)) return;

    // The grid point nearest to one period after the tick just reached.
    const double k = std::round((N + P - R) / P);
    double next = k * P + R;

    // When the pass came late (more than half an interval after the tick, or
    // after a jump of the clock or the anti-delay), that point may already be
    // behind: skip to the first grid point ahead, merging the missed ticks.
    const double t = level->ticker ? level->ticker->pass_time : N;
    if (!(next > t)) next = first_grid_point_after(t, P, R);

    level->previous_tick.store(N, std::memory_order_relaxed);
    level->next_tick.store(next, std::memory_order_relaxed);
    level->tick_count.store(level->tick_count.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
}

bool meterticker_timer_aligned(const meterticker_state* state) {
    return state->aligned.load(std::memory_order_acquire);
}

bool meterticker_timer_align(meterticker_state* state) {
    if (meterticker_timer_aligned(state)) return true;
    double periods[METERLEVEL_COUNT];
    double references[METERLEVEL_COUNT];
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        periods[i] = state->levels[i].period.load(std::memory_order_relaxed);
        references[i] = state->levels[i].reference.load(std::memory_order_relaxed);
        if (!(periods[i] > 0.0)) return false;
    }
    const double now = meterticker_now(state);
    if (!std::isfinite(now)) return false;
    // The loop's phases run ahead of the clock by the anti-delay; the first
    // ticks must lie ahead of that time too.
    const double ahead = now + state->anti_delay.load(std::memory_order_relaxed);

    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        const double P = periods[i];
        const double R = references[i];
        double next = std::ceil((now - R) / P) * P + R;  // first grid point at or after now
        if (!(next > ahead)) next = first_grid_point_after(ahead, P, R);
        state->levels[i].next_tick.store(next, std::memory_order_relaxed);
    }
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
    double t = now + state->anti_delay.load(std::memory_order_relaxed);
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

    double phases[METERLEVEL_COUNT];
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        phases[i] = meterticker_full_phase(state->levels[i], t);
    }

    // Every row sees the same phases; prediction rows come first in the table.
    for (meterticker_tick_action* row = state->actions; row->action; ++row) {
        const double value = phases[row->level] * row->multiplier - row->offset;
        const double fraction = std::fmod(value, 1.0);
        if (crossed(row->previous_fraction, row->previous_value, fraction, value)) {
            row->action(phases, row->data, row->argument, now);
        }
        row->previous_fraction = fraction;
        row->previous_value = value;
    }

    dispatch_phase_callbacks(state, phases);
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
        TMSleep(1);
    }
}
