// The smoothing of the tracker's grid: a period finer than the accent frames
// the tracker counts in, a steadier phase, steps off the line held back, a
// new line after a real change, the settled verdict, and bar and tatum laid
// on the smoothed beats.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "gridsmoother.h"

namespace {

const double kFrame = 1.0 / 172.265625;  // the tracker's accent frame, seconds

meter_grid tracker_grid(double beat_period, double beat_time) {
    meter_grid g;
    g.periods[METERLEVEL_BEAT] = beat_period;
    g.references[METERLEVEL_BEAT] = beat_time;
    g.periods[METERLEVEL_BAR] = 4 * beat_period;
    g.references[METERLEVEL_BAR] = beat_time;
    g.periods[METERLEVEL_TATUM] = beat_period / 2;
    g.references[METERLEVEL_TATUM] = beat_time;
    return g;
}

double quantised(double t) {
    return std::round(t / kFrame) * kFrame;
}

// Small deterministic jitter in [-1, 1).
struct Jitter {
    std::uint32_t state = 12345u;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    }
};

// What a tracker reports every half second of a steady beat: the period as a
// whole number of frames, the newest beat before the step's end quantised to
// a frame, with up to a frame of jitter.
struct SteadyTracker {
    double period;
    double first_beat;
    Jitter jitter;
    meter_grid at(double step_end) {
        const double beat =
            first_beat + std::floor((step_end - first_beat) / period) * period;
        return tracker_grid(std::round(period / kFrame) * kFrame,
                            quantised(beat + kFrame * jitter.next()));
    }
};

// The distance from t to the nearest beat of the true grid.
double phase_error(double t, double period, double first_beat) {
    const double k = std::round((t - first_beat) / period);
    return t - (first_beat + k * period);
}

TEST(GridSmoother, FindsThePeriodBetweenTheFramesAndSteadiesThePhase) {
    // Tempi whose periods fall between whole frames: the tracker reads them
    // up to half a frame off (120.5 BPM as 119.6 or 121.0 ...).
    for (const double bpm : {96.3, 120.5, 133.0, 171.7}) {
        const double period = 60.0 / bpm;
        SteadyTracker tracker{period, 0.21, Jitter{}};
        gridsmoother smoother;
        meter_grid smoothed;
        // The grid's error two beats after each step's end, where the clock
        // uses it: smoothed, and as the tracker gives it.
        auto error_ahead = [&](const meter_grid& g, double now) {
            const double P = g.periods[METERLEVEL_BEAT];
            const double R = g.references[METERLEVEL_BEAT];
            const double ahead = R + (std::floor((now - R) / P) + 2) * P;
            return std::fabs(phase_error(ahead, period, 0.21));
        };
        double worst = 0.0, worst_raw = 0.0;
        for (int step = 1; step <= 40; ++step) {
            const meter_grid raw = tracker.at(0.5 * step);
            gridsmoother_update(&smoother, raw, &smoothed);
            if (step < 12) continue;
            worst = std::max(worst, error_ahead(smoothed, 0.5 * step));
            worst_raw = std::max(worst_raw, error_ahead(raw, 0.5 * step));
            EXPECT_NEAR(smoothed.periods[METERLEVEL_BEAT] / period, 1.0, 0.002)
                << bpm << " BPM, step " << step;
        }
        const double frames = std::round(period / kFrame) * kFrame;
        EXPECT_GT(std::fabs(frames / period - 1.0), 0.0015) << "the fixture's period is off a frame";
        EXPECT_LT(worst, 0.7 * worst_raw) << bpm << " BPM";
        EXPECT_LT(worst, 1.25 * kFrame) << bpm << " BPM";
    }
}

TEST(GridSmoother, AStepOffTheLineIsHeldBackAndTwoAgreeingStartANewLine) {
    gridsmoother smoother;
    meter_grid out;
    for (int step = 0; step < 8; ++step)
        gridsmoother_update(&smoother, tracker_grid(0.5, 10.0 + 0.5 * step), &out);
    EXPECT_NEAR(out.periods[METERLEVEL_BEAT], 0.5, 1e-9);
    // One step a third of a beat off: the grid stays.
    gridsmoother_update(&smoother, tracker_grid(0.5, 14.0 + 0.17), &out);
    EXPECT_NEAR(phase_error(out.references[METERLEVEL_BEAT], 0.5, 0.0), 0.0, 1e-9);
    // The next is back on the line: still the same grid.
    gridsmoother_update(&smoother, tracker_grid(0.5, 14.5), &out);
    EXPECT_NEAR(phase_error(out.references[METERLEVEL_BEAT], 0.5, 0.0), 0.0, 1e-9);
    // Two steps in a row on a new grid (a new phase): the line starts on it.
    gridsmoother_update(&smoother, tracker_grid(0.5, 15.0 + 0.17), &out);
    gridsmoother_update(&smoother, tracker_grid(0.5, 15.5 + 0.17), &out);
    EXPECT_NEAR(phase_error(out.references[METERLEVEL_BEAT], 0.5, 0.17), 0.0, 1e-9);
    // A new tempo likewise, at the second step.
    gridsmoother_update(&smoother, tracker_grid(0.4, 16.1), &out);
    EXPECT_NEAR(out.periods[METERLEVEL_BEAT], 0.5, 1e-9) << "one step is not yet a change";
    gridsmoother_update(&smoother, tracker_grid(0.4, 16.5), &out);
    EXPECT_NEAR(out.periods[METERLEVEL_BEAT], 0.4, 1e-9);
    EXPECT_NEAR(phase_error(out.references[METERLEVEL_BEAT], 0.4, 16.5), 0.0, 1e-9);
}

TEST(GridSmoother, SettlesAfterStepsInARowCloseToTheLine) {
    gridsmoother smoother;
    meter_grid out;
    std::vector<bool> settled;
    // Steps on one grid, one 40 ms off (within the line's tolerance, beyond
    // the settled one), then on the grid again.
    const double offsets[] = {0, 0, 0, 0, 0, 0, 0.04, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int step = 0; step < 15; ++step) {
        settled.push_back(gridsmoother_update(
            &smoother, tracker_grid(0.5, 10.0 + 0.5 * step + offsets[step]), &out));
    }
    const int S = GRIDSMOOTHER_SETTLED_STEPS;
    for (int step = 0; step < 15; ++step) {
        const bool expected = (step >= S && step < 6) || step >= 6 + S + 1;
        EXPECT_EQ(settled[step], expected) << "step " << step;
    }
}

TEST(GridSmoother, BarAndTatumLieOnTheSmoothedBeats) {
    gridsmoother smoother;
    meter_grid tracked = tracker_grid(0.5, 10.0);
    tracked.periods[METERLEVEL_BAR] = 1.53;     // about three beats
    tracked.references[METERLEVEL_BAR] = 9.03;  // between two beats, nearer 9.0
    tracked.periods[METERLEVEL_TATUM] = 0.124;  // about a quarter of the beat
    tracked.references[METERLEVEL_TATUM] = 10.011;
    meter_grid out;
    gridsmoother_update(&smoother, tracked, &out);
    EXPECT_NEAR(out.periods[METERLEVEL_BAR], 1.5, 1e-12);
    EXPECT_NEAR(out.references[METERLEVEL_BAR], 9.0, 1e-12);
    EXPECT_NEAR(out.periods[METERLEVEL_TATUM], 0.125, 1e-12);
    EXPECT_NEAR(out.references[METERLEVEL_TATUM], 10.0, 1e-12);
}

}  // namespace
