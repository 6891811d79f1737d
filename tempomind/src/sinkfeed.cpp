#include "sinkfeed.h"

#include <time.h>

#include <cmath>

#include "meterticker.h"

namespace {

std::int64_t clock_us(clockid_t id) {
    timespec now{};
    if (clock_gettime(id, &now) != 0) return 0;
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int beats_per_bar(const meter_grid& grid) {
    const double r = std::round(grid.periods[METERLEVEL_BAR] / grid.periods[METERLEVEL_BEAT]);
    return r >= 1.0 && r < 64.0 ? static_cast<int>(r) : 1;
}

double bpm_of(const meter_grid& grid) {
    const double period = grid.periods[METERLEVEL_BEAT];
    return period > 0.0 ? 60.0 / period : 0.0;
}

bool clock_running(const meterticker_clock& clock) {
    return clock.enabled.load() && !clock.start_pending.load();
}

void post(meterticker_state* state, sink_event& event) {
    sinkfeed& feed = state->sinks;
    event.anti_delay = feed.anti_delay;
    event.clocks = feed.clocks;
    event.running = feed.running;
    for (std::atomic<output_sink*>& slot : feed.sinks) {
        if (output_sink* sink = slot.load(std::memory_order_acquire)) sink->post(event);
    }
}

// A fresh event with the followed grid's meter and tempo.
sink_event event_of(const meterticker_state* state, sink_event_kind kind, double time) {
    sink_event event;
    event.kind = kind;
    event.time = time;
    event.beats_per_bar = beats_per_bar(state->follower.followed);
    event.bpm = bpm_of(state->follower.followed);
    return event;
}

}  // namespace

bool sinkfeed_attach(meterticker_state* state, output_sink* sink) {
    if (!state || !sink) return false;
    for (std::atomic<output_sink*>& slot : state->sinks.sinks) {
        if (slot.load() == sink) return false;
    }
    for (std::atomic<output_sink*>& slot : state->sinks.sinks) {
        output_sink* empty = nullptr;
        if (slot.compare_exchange_strong(empty, sink, std::memory_order_acq_rel)) return true;
    }
    return false;
}

bool sinkfeed_active(const meterticker_state* state) {
    for (const std::atomic<output_sink*>& slot : state->sinks.sinks) {
        if (slot.load(std::memory_order_acquire)) return true;
    }
    return false;
}

void sinkfeed_begin_pass(meterticker_state* state, double now, double anti_delay) {
    sinkfeed& feed = state->sinks;
    feed.anti_delay = anti_delay;
    if (!sinkfeed_active(state)) return;
    // Read right after the engine clock, so that the pair belongs together.
    // (A virtual clock bears no relation to them; sinks of offline
    // rendering do not look.)
    feed.clocks.engine_s = now;
    feed.clocks.raw_us = clock_us(CLOCK_MONOTONIC_RAW);
    feed.clocks.wall_us = clock_us(CLOCK_REALTIME);
}

void sinks_at_beat(const double* /*full_phases*/, void* data, int /*argument*/, double time) {
    auto* state = static_cast<meterticker_state*>(data);
    sinkfeed& feed = state->sinks;
    const meterticker_clock& clock = state->clock;
    const double at = time + feed.anti_delay;  // the beat in the music

    // Places count from the bar starts the clock's bar ticks mark.
    feed.position = clock.beat_starts_bar ? 0 : feed.position + 1;
    if (!sinkfeed_active(state)) {
        feed.running = clock_running(clock);
        return;
    }
    const bool running = clock_running(clock);
    if (running && !feed.running) {
        feed.running = true;
        sink_event start = event_of(state, sink_event_kind::clock_start, at);
        start.position = feed.position;
        post(state, start);
    } else if (!running && feed.running) {
        feed.running = false;
        sink_event stop = event_of(state, sink_event_kind::clock_stop, at);
        post(state, stop);
    }
    sink_event beat = event_of(state, sink_event_kind::beat, at);
    beat.position = feed.position;
    beat.starts_bar = clock.beat_starts_bar;
    beat.settled = clock.settled.load() && clock.beat_on_grid;
    post(state, beat);
}

void sinkfeed_end_pass(meterticker_state* state, double t) {
    sinkfeed& feed = state->sinks;
    if (!sinkfeed_active(state)) return;

    if (feed.running && !clock_running(state->clock)) {
        feed.running = false;
        sink_event stop = event_of(state, sink_event_kind::clock_stop, t);
        post(state, stop);
    }

    const clockfollower& follower = state->follower;
    if (!feed.grid_posted || follower.sequence != feed.sequence || follower.step != feed.step) {
        feed.grid_posted = true;
        feed.sequence = follower.sequence;
        feed.step = follower.step;
        sink_event estimate = event_of(state, sink_event_kind::estimate, t);
        estimate.grid = follower.followed;
        post(state, estimate);
    }

    // On a grid of engine time, so that the rate holds however the passes
    // fall; counted in whole phase periods, so that rounding never posts
    // one twice.
    const double slot = t * SINKFEED_PHASE_RATE;
    // A clock that jumped (either way) starts the count afresh.
    if (feed.next_phase < 0 ||
        std::fabs(slot - static_cast<double>(feed.next_phase)) > SINKFEED_PHASE_RATE) {
        feed.next_phase = static_cast<std::int64_t>(std::ceil(slot - 1e-9));
    }
    if (slot >= static_cast<double>(feed.next_phase) - 1e-9) {
        const double at = static_cast<double>(feed.next_phase) / SINKFEED_PHASE_RATE;
        sink_event phase = event_of(state, sink_event_kind::phase, at);
        const double bar = meterticker_full_phase(state->levels[METERLEVEL_BAR], at);
        const double beat = meterticker_full_phase(state->levels[METERLEVEL_BEAT], at);
        phase.bar_phase = bar - std::floor(bar);
        phase.beat_phase = beat - std::floor(beat);
        post(state, phase);
        feed.next_phase = static_cast<std::int64_t>(std::floor(slot + 1e-9)) + 1;
    }
}

void sinkfeed_close(meterticker_state* state) {
    sinkfeed& feed = state->sinks;
    if (!feed.running || !sinkfeed_active(state)) return;
    const double now = meterticker_now(state);
    const double anti_delay = state->anti_delay.load(std::memory_order_relaxed);
    sinkfeed_begin_pass(state, now, anti_delay);
    feed.running = false;
    sink_event stop = event_of(state, sink_event_kind::clock_stop, now + anti_delay);
    post(state, stop);
}
