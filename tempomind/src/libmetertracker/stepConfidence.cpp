#include "stepConfidence.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

namespace {

// Seconds of accent signal the activity is measured over.
const double kActivitySeconds = 8.0;
// Mean accent (front end units) below which the input is idle, and from
// which it is fully active: a steady tone leaves about 0.5, music 1.5 to 20.
const double kIdleAccent = 0.5;
const double kActiveAccent = 1.5;
// The accent's 99th percentile over its mean: noise gives at most 1.3, the
// music of the development sets (strings included) 1.5 and more.
const double kNoisePeakiness = 1.3;
const double kOnsetPeakiness = 1.5;
// Steps (of half a second) the steadiness looks back over, and how near a
// period must be to the one before to count as the same.
const unsigned kSteadySteps = 8;
const double kSamePeriod = 0.03;
// Steadiness that noise reaches (about half the steps keep their period by
// chance) and from which a beat is certain.
const double kChanceSteadiness = 0.5;
const double kSureSteadiness = 0.8;

}  // namespace

StepConfidence::StepConfidence(double accentRate)
    : fs_(accentRate),
      totals_(static_cast<std::size_t>(kActivitySeconds * accentRate)),
      steady_(kSteadySteps, false) {}

void StepConfidence::reset() {
    std::fill(steady_.begin(), steady_.end(), false);
    previous_ = 0.0;
    count_ = 0;
}

double StepConfidence::update(const AccentHistory& history, double beatPeriod) {
    steady_[count_ % kSteadySteps] =
        beatPeriod > 0.0 && previous_ > 0.0 && std::fabs(beatPeriod / previous_ - 1.0) < kSamePeriod;
    previous_ = beatPeriod;
    ++count_;

    const unsigned window = static_cast<unsigned>(kActivitySeconds * fs_);
    const double accent = history.meanTotal(window);
    double activity = std::clamp((accent - kIdleAccent) / (kActiveAccent - kIdleAccent), 0.0, 1.0);
    if (activity > 0.0) {
        history.recentTotals(window, totals_);
        const std::size_t k = totals_.size() * 99 / 100;
        std::nth_element(totals_.begin(), totals_.begin() + static_cast<std::ptrdiff_t>(k),
                         totals_.end());
        const double peakiness = totals_[k] / accent;
        activity *= std::clamp((peakiness - kNoisePeakiness) / (kOnsetPeakiness - kNoisePeakiness),
                               0.0, 1.0);
    }

    // Over the pairs of steps seen so far, up to kSteadySteps of them: a
    // short file is judged by the steps it has.
    const unsigned pairs = std::min(count_ - 1, kSteadySteps);
    if (pairs == 0) return 0.0;
    unsigned same = 0;
    for (bool steady : steady_) same += steady ? 1 : 0;
    const double steadiness = static_cast<double>(same) / pairs;
    return activity * std::clamp((steadiness - kChanceSteadiness) /
                                     (kSureSteadiness - kChanceSteadiness),
                                 0.0, 1.0);
}

}  // namespace meterTracker
