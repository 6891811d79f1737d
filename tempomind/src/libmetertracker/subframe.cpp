#include "subframe.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

double peakOffset(double before, double middle, double after) {
    if (!(before > 0.0 && after > 0.0 && middle >= before && middle >= after)) return 0.0;
    const double a = std::log(before), b = std::log(middle), c = std::log(after);
    const double curvature = a - 2.0 * b + c;
    if (!(curvature < 0.0)) return 0.0;  // flat: no better place than the sample
    return std::max(-0.5, std::min(0.5, 0.5 * (a - c) / curvature));
}

double refineLagPeriod(const std::vector<double>& salience, const std::vector<double>& lagPeriods,
                       double period) {
    if (lagPeriods.size() < 3 || salience.size() != lagPeriods.size()) return period;
    const auto at = std::lower_bound(lagPeriods.begin(), lagPeriods.end(), period);
    if (at == lagPeriods.begin() || at == lagPeriods.end() || *at != period) return period;
    const std::size_t i = static_cast<std::size_t>(at - lagPeriods.begin());
    if (i + 1 >= lagPeriods.size()) return period;
    const double lag = lagPeriods[1] - lagPeriods[0];
    return period + peakOffset(salience[i - 1], salience[i], salience[i + 1]) * lag;
}

double refinePhase(const std::vector<double>& scores, unsigned lastFrame, double fs, double phase) {
    const unsigned tau = static_cast<unsigned>(scores.size());
    if (tau < 3 || !(fs > 0.0)) return phase;
    const double position = phase * fs - linePositionTime(lastFrame, tau, 0.0, fs) * fs;
    const long p = std::lround(position);
    if (p < 0 || p >= static_cast<long>(tau) || std::fabs(position - p) > 1e-6) return phase;
    const std::size_t i = static_cast<std::size_t>(p);
    const double offset = peakOffset(scores[(i + tau - 1) % tau], scores[i], scores[(i + 1) % tau]);
    return offset == 0.0 ? phase : linePositionTime(lastFrame, tau, p + offset, fs);
}

void refineStep(const PeriodModel& periodModel, const PhaseModel& phaseModel, unsigned lastFrame,
                double fs, PeriodChoice& periods, PhaseChoice& phases) {
    periods.beat =
        refineLagPeriod(periodModel.beatSalience(), periodModel.lagPeriods(), periods.beat);
    periods.bar = refineLagPeriod(periodModel.barSalience(), periodModel.lagPeriods(), periods.bar);
    phases.beat = phases.tatum =
        refinePhase(phaseModel.beatPositionScores(), lastFrame, fs, phases.beat);
}

}  // namespace meterTracker
