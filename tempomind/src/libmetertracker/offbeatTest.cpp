#include "offbeatTest.h"

#include <cmath>

namespace meterTracker {

namespace {

// Seconds of music the test looks back over.
const double kWindowSeconds = 8.0;
// A grid point is judged by the strongest low-band onset within this
// fraction of a period around it (timing of real playing varies).
const double kNearFraction = 0.06;
// Grid points needed before the test says anything.
const unsigned kLeastPoints = 4;
// Switch to the half-beat when it holds e times the beat's strength; switch
// back when the beat holds more again.
const double kSwitchEvidence = 1.0;
const double kReturnEvidence = 0.0;
const double kTiny = 1e-9;
// Grid offsets tried, evenly over one period: 12 holds the sixteenths and
// the triplet eighths of a beat.
const unsigned kOffsets = 12;

}  // namespace

double OffbeatTest::strengthAt(const AccentHistory& history, double period, double phase,
                               double end, unsigned* points) const {
    const double begin = end - kWindowSeconds;
    const long halfWidth = std::max(1L, std::lround(kNearFraction * period * fs_));
    double sum = 0.0;
    unsigned n = 0;
    for (double k = std::floor((begin - phase) / period) + 1.0;; k += 1.0) {
        const double t = phase + k * period;
        if (t > end) break;
        const long frame = std::lround(t * fs_);
        if (frame < 0 || !history.holds(static_cast<unsigned>(frame))) continue;
        sum += history.maxLow(frame - halfWidth, frame + halfWidth);
        ++n;
    }
    *points = n;
    return n ? sum / n : 0.0;
}

double OffbeatTest::decide(const AccentHistory& history, unsigned lastFrame, double period,
                           double phase) {
    evidence_ = 0.0;
    if (!(period > 0.0) || !std::isfinite(phase)) return phase;
    // The newest frames are still predictions of the front end: leave a
    // little margin before the step's end.
    const double end = (static_cast<double>(lastFrame) + 1.0) / fs_ - 0.05;
    // The low-band strength of the grid at each offset (the near windows
    // of neighbouring offsets overlap, so an onset anywhere is seen).
    double strength[kOffsets];
    unsigned best = 0;
    for (unsigned k = 0; k < kOffsets; ++k) {
        unsigned points = 0;
        strength[k] = strengthAt(history, period, phase + k * period / kOffsets, end, &points);
        if (points < kLeastPoints) return shift_ ? phase + shift_ * period / kOffsets : phase;
        if (strength[k] > strength[best]) best = k;
    }
    evidence_ = std::log((strength[best] + kTiny) / (strength[0] + kTiny));
    if (best != shift_ &&
        std::log((strength[best] + kTiny) / (strength[shift_] + kTiny)) > kSwitchEvidence)
        shift_ = best;
    else if (shift_ != 0 &&
             std::log((strength[shift_] + kTiny) / (strength[0] + kTiny)) < kReturnEvidence)
        shift_ = 0;
    return phase + shift_ * period / kOffsets;
}

}  // namespace meterTracker
