#include "clockfollower.h"

#include <algorithm>
#include <cmath>

#include "meterticker.h"

namespace {

// A beat tick this close to the estimate's grid lies on it (a Start may go
// out on it): about the move of the smoothed grid from one analysis step to
// the next.
const double kOnGridSeconds = 0.006;
// A new estimate moves the next beat while the beat interval is no further
// than this share through, and the next beat no sooner than kReaimLead.
const double kReaimShare = 0.75;
const double kReaimLead = 0.005;
// A step switching at a time takes effect at the first beat tick no earlier
// than this share of a beat before it.
const double kSwitchTolerance = 0.25;

struct Segment {
    double from;
    double to;
};

int whole_ratio(double numerator, double denominator) {
    const double r = std::round(numerator / denominator);
    return r >= 1.0 && std::isfinite(r) ? static_cast<int>(r) : 1;
}

// The position in its bar (0: the bar's first beat) of the estimate's beat
// nearest t.
int bar_position(const meter_grid& grid, double t) {
    const double beat = grid.periods[METERLEVEL_BEAT];
    const int beats_per_bar = whole_ratio(grid.periods[METERLEVEL_BAR], beat);
    const double nearest = grid_point_nearest(t, beat, grid.references[METERLEVEL_BEAT]);
    const long k = std::lround((nearest - grid.references[METERLEVEL_BAR]) / beat);
    return static_cast<int>(((k % beats_per_bar) + beats_per_bar) % beats_per_bar);
}

void store_segment(meterticker_level& level, double from_time, double to_time, Segment phase) {
    level.previous_tick.store(from_time, std::memory_order_relaxed);
    level.next_tick.store(to_time, std::memory_order_relaxed);
    level.phase_at_previous.store(phase.from, std::memory_order_relaxed);
    level.phase_at_next.store(phase.to, std::memory_order_relaxed);
}

// The bar's phase over the beat interval ending at a beat of the given
// position: it reaches the next whole number at the beat that starts the
// next bar, evenly over the beat intervals up to it.
Segment bar_segment(double from, int position, int beats_per_bar) {
    const double whole = std::floor(from) + 1.0;
    if (position == 0) return {from, whole};
    const int intervals = 1 + (beats_per_bar - position);
    return {from, from + (whole - from) / intervals};
}

// The beat after the tick at N: one period of the grid on, lengthened or
// shortened by the tick's distance from the grid (error), by at most the
// largest correction; after a step the grid's first point at least half a
// period on.
double next_beat(const meter_grid& grid, double N, bool retarget, double* error) {
    const double P = grid.periods[METERLEVEL_BEAT];
    const double R = grid.references[METERLEVEL_BEAT];
    *error = grid_point_nearest(N, P, R) - N;
    // At or after half a period on: a tick on the off-beat of the new grid
    // goes on at the old pace to the new grid's next beat.
    if (retarget) return grid_point_after(N + 0.5 * P - 1e-9, P, R);
    const double limit = FOLLOWER_MAX_CORRECTION * P;
    return N + P + std::clamp(*error, -limit, limit);
}

// Moves the end of every level's segment to a new next beat from time t on,
// the phases going on from where they are at t.
void split_segments(meterticker_level* levels, double t, double next) {
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        meterticker_level& level = levels[i];
        const double phase = meterticker_full_phase(level, t);
        store_segment(level, t, next,
                      {phase, level.phase_at_next.load(std::memory_order_relaxed)});
    }
}

}  // namespace

void clockfollower_reaim(meterticker_state* state, double t) {
    clockfollower& follower = state->follower;
    if (state->estimate_sequence.load(std::memory_order_acquire) == follower.sequence) return;
    meterticker_estimate estimate;
    meterticker_read_estimate(state, &estimate);
    follower.sequence = estimate.sequence;
    // A performer's step waits for its beat tick, and the beat it placed
    // stays where the step put it.
    if (estimate.step != follower.step || follower.stepped || !meter_grid_valid(estimate.grid))
        return;
    follower.followed = estimate.grid;
    meterticker_level& beat = state->levels[METERLEVEL_BEAT];
    const double next = beat.next_tick.load(std::memory_order_relaxed);
    const double N = follower.last_tick;
    // Late in the beat the clocks left would have to crowd or spread.
    if (!(t < N + kReaimShare * (next - N))) return;
    double error = 0.0;
    const double aimed = next_beat(estimate.grid, N, false, &error);
    if (aimed == next || !(aimed > t + kReaimLead)) return;
    split_segments(state->levels, t, aimed);
}

bool clockfollower_align(meterticker_state* state, double now, double ahead) {
    meterticker_estimate estimate;
    meterticker_read_estimate(state, &estimate);
    if (!meter_grid_valid(estimate.grid)) return false;
    const meter_grid& grid = estimate.grid;
    const double P = grid.periods[METERLEVEL_BEAT];
    const double R = grid.references[METERLEVEL_BEAT];
    // The first grid point at or after the clock, and after the outputs'
    // time too: one at or before it would leave the phases at a whole number.
    double next = std::ceil((now - R) / P) * P + R;
    if (!(next > ahead)) next = grid_point_after(ahead, P, R);
    const double previous = next - P;

    const int tatums = whole_ratio(P, grid.periods[METERLEVEL_TATUM]);
    const int beats_per_bar = whole_ratio(grid.periods[METERLEVEL_BAR], P);
    const int position = bar_position(grid, previous);
    meterticker_level* levels = state->levels;
    store_segment(levels[METERLEVEL_BEAT], previous, next, {0.0, 1.0});
    store_segment(levels[METERLEVEL_TATUM], previous, next, {0.0, static_cast<double>(tatums)});
    const double bar_from = static_cast<double>(position) / beats_per_bar;
    store_segment(levels[METERLEVEL_BAR], previous, next,
                  {bar_from, static_cast<double>(position + 1) / beats_per_bar});
    state->follower.followed = grid;
    state->follower.step = estimate.step;
    state->follower.sequence = estimate.sequence;
    state->follower.last_tick = previous;
    return true;
}

void follow_beat(const double* /*full_phases*/, void* data, int /*argument*/, double /*time*/) {
    auto* state = static_cast<meterticker_state*>(data);
    clockfollower& follower = state->follower;
    meterticker_level* levels = state->levels;
    meterticker_level& beat = levels[METERLEVEL_BEAT];
    const double N = beat.next_tick.load(std::memory_order_relaxed);  // the tick just reached

    meterticker_estimate estimate;
    meterticker_read_estimate(state, &estimate);
    bool retarget = false;
    if (meter_grid_valid(estimate.grid)) {
        if (estimate.step == follower.step) {
            follower.followed = estimate.grid;
        } else if (N >= estimate.switch_at -
                            kSwitchTolerance * follower.followed.periods[METERLEVEL_BEAT]) {
            follower.followed = estimate.grid;
            follower.step = estimate.step;
            retarget = true;
        }
        // Otherwise the step starts at a later beat: the grid before it
        // stays in use until then.
    }
    const meter_grid& grid = follower.followed;
    const double P = grid.periods[METERLEVEL_BEAT];
    const double R = grid.references[METERLEVEL_BEAT];

    double error = 0.0;
    double next = next_beat(grid, N, retarget, &error);
    // A pass that came late (a stalled timer, a clock that jumped): the
    // missed beats merge into this one and the grid goes on from the time
    // reached.
    const double t = state->pass_time;
    if (!(next > t)) next = grid_point_after(t, P, R);
    follower.last_tick = N;
    follower.sequence = estimate.sequence;
    follower.stepped = retarget;

    // Every level's segment up to the next beat.
    const double beat_from = std::round(beat.phase_at_next.load(std::memory_order_relaxed));
    store_segment(beat, N, next, {beat_from, beat_from + 1.0});
    meterticker_level& tatum = levels[METERLEVEL_TATUM];
    const double tatum_from = std::round(tatum.phase_at_next.load(std::memory_order_relaxed));
    const int tatums = whole_ratio(P, grid.periods[METERLEVEL_TATUM]);
    store_segment(tatum, N, next, {tatum_from, tatum_from + tatums});
    meterticker_level& bar = levels[METERLEVEL_BAR];
    const double bar_from = bar.phase_at_next.load(std::memory_order_relaxed);
    const int beats_per_bar = whole_ratio(grid.periods[METERLEVEL_BAR], P);
    store_segment(bar, N, next,
                  bar_segment(bar_from, bar_position(grid, next), beats_per_bar));
    beat.tick_count.store(beat.tick_count.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);

    state->clock.beat_on_grid = std::fabs(error) <= kOnGridSeconds;
    state->clock.beat_starts_bar = bar_from == std::floor(bar_from);
}

void count_tick(const double* /*full_phases*/, void* data, int /*argument*/, double /*time*/) {
    auto* level = static_cast<meterticker_level*>(data);
    level->tick_count.store(level->tick_count.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
}
