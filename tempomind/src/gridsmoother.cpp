#include "gridsmoother.h"

#include <algorithm>
#include <cmath>

namespace {

// A step fits the line when its period is within this share of the line's
// and its beat time within kPhaseTolerance of a beat of the line.
const double kPeriodTolerance = 0.04;
// A tenth of a beat, but never less than about two accent frames.
double phase_tolerance(double period) {
    return std::max(0.012, 0.1 * period);
}
// The settled grid: each of the last steps within this of the line (about
// two accent frames, or a fortieth of a beat at slow tempi).
double settled_tolerance(double period) {
    return std::max(0.010, 0.025 * period);
}
// Weight of a step in the line, per step of age: older steps count less, so
// that the line follows a tempo that drifts (a half-weight after 3 steps).
const double kForgetPerStep = 0.8;
// Pull of the tracker's own period on the line's slope, in squared beats:
// with few steps spanning few beats the slope is uncertain, and the
// tracker's period (within half a frame) is the better guess.
const double kPeriodPrior = 2.0;

void push_anchor(gridsmoother* s, const gridsmoother::Anchor& anchor) {
    if (s->count == gridsmoother::kCapacity) {
        std::copy(s->anchors + 1, s->anchors + s->count, s->anchors);
        --s->count;
    }
    s->anchors[s->count++] = anchor;
}

// Weighted least squares of time on beat number, the slope pulled towards
// the steps' own (weighted) period.
void fit_line(gridsmoother* s) {
    double weight_sum = 0.0, beat_mean = 0.0, time_mean = 0.0, period_mean = 0.0;
    double weight = 1.0;
    for (int i = s->count - 1; i >= 0; --i, weight *= kForgetPerStep) {
        weight_sum += weight;
        beat_mean += weight * s->anchors[i].beat;
        time_mean += weight * s->anchors[i].time;
        period_mean += weight * s->anchors[i].period;
    }
    beat_mean /= weight_sum;
    time_mean /= weight_sum;
    period_mean /= weight_sum;
    double beat_spread = 0.0, covariance = 0.0;
    weight = 1.0;
    for (int i = s->count - 1; i >= 0; --i, weight *= kForgetPerStep) {
        const double db = s->anchors[i].beat - beat_mean;
        beat_spread += weight * db * db;
        covariance += weight * db * (s->anchors[i].time - time_mean);
    }
    double period = (covariance + kPeriodPrior * period_mean) / (beat_spread + kPeriodPrior);
    if (!(period > 0.0) || !std::isfinite(period)) period = period_mean;
    s->period = period;
    s->origin = time_mean - period * beat_mean;
}

void start_line(gridsmoother* s, const gridsmoother::Anchor& first) {
    s->count = 0;
    push_anchor(s, {0.0, first.time, first.period});
    s->period = first.period;
    s->origin = first.time;
    s->held = false;
}

// The line's beat nearest to a time.
double beat_number(const gridsmoother* s, double time) {
    return std::round((time - s->origin) / s->period);
}

bool settled(const gridsmoother* s) {
    if (s->fitting_steps < GRIDSMOOTHER_SETTLED_STEPS || s->count <= GRIDSMOOTHER_SETTLED_STEPS)
        return false;
    const double tolerance = settled_tolerance(s->period);
    for (int i = s->count - GRIDSMOOTHER_SETTLED_STEPS - 1; i < s->count; ++i) {
        const gridsmoother::Anchor& a = s->anchors[i];
        if (std::fabs(a.time - (s->origin + s->period * a.beat)) > tolerance) return false;
    }
    return true;
}

}  // namespace

void gridsmoother_reset(gridsmoother* smoother) {
    *smoother = gridsmoother();
}

bool gridsmoother_update(gridsmoother* s, const meter_grid& tracked, meter_grid* smoothed) {
    const double P = tracked.periods[METERLEVEL_BEAT];
    const double R = tracked.references[METERLEVEL_BEAT];
    const gridsmoother::Anchor step{0.0, R, P};

    if (s->count == 0) {
        start_line(s, step);
        s->fitting_steps = 0;
    } else {
        const double beat = beat_number(s, R);
        const double residual = R - (s->origin + s->period * beat);
        const bool fits = std::fabs(P / s->period - 1.0) <= kPeriodTolerance &&
                          std::fabs(residual) <= phase_tolerance(s->period);
        if (fits) {
            push_anchor(s, {beat, R, P});
            fit_line(s);
            s->held = false;
            ++s->fitting_steps;
        } else {
            // Two steps in a row off the line that agree with each other:
            // the line starts again from them.
            const gridsmoother::Anchor& h = s->held_anchor;
            const double mean_period = 0.5 * (h.period + P);
            const double beats = (R - h.time) / mean_period;
            const bool agree = s->held && std::fabs(P / h.period - 1.0) <= kPeriodTolerance &&
                               std::fabs(beats - std::round(beats)) * mean_period <=
                                   phase_tolerance(mean_period);
            if (agree) {
                start_line(s, h);
                push_anchor(s, {std::round(beats), R, P});
                fit_line(s);
                s->fitting_steps = 1;
            } else {
                s->held = true;
                s->held_anchor = step;
                s->fitting_steps = 0;
            }
        }
    }

    // The beat at the newest step of the line, the bar on one of its beats,
    // the tatum a whole fraction of it.
    const double period = s->period;
    const double beat_reference = s->origin + period * s->anchors[s->count - 1].beat;
    const double beats_per_bar =
        std::max(1.0, std::round(tracked.periods[METERLEVEL_BAR] / P));
    const double tatums_per_beat =
        std::max(1.0, std::round(P / tracked.periods[METERLEVEL_TATUM]));
    smoothed->periods[METERLEVEL_BEAT] = period;
    smoothed->references[METERLEVEL_BEAT] = beat_reference;
    smoothed->periods[METERLEVEL_BAR] = beats_per_bar * period;
    smoothed->references[METERLEVEL_BAR] =
        grid_point_nearest(tracked.references[METERLEVEL_BAR], period, beat_reference);
    smoothed->periods[METERLEVEL_TATUM] = period / tatums_per_beat;
    smoothed->references[METERLEVEL_TATUM] = beat_reference;
    return settled(s);
}
