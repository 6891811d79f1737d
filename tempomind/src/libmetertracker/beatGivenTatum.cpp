#include "beatGivenTatum.h"

#include <cmath>

#include "precondition.h"

namespace meterTracker {

namespace {
const double kSqrtTwoPi = 2.5066282746310002;
// The integer period ratios the likelihood considers.
const double myys[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
}  // namespace

void beatGivenTatum(const std::vector<double>& periods, const double& given,
                    const double& ratioSigma, const std::vector<double>& weights,
                    std::vector<double>& out) {
    // Fewer weights than ratios would read past the list.
    TM_PRECONDITION(weights.size() >= 9, "weights.size() >= 9");
    const double s = ratioSigma * given;
    double weightSum = 0.0;
    for (double w : weights) weightSum += w;

    out.assign(periods.size(), 0.0);
    for (unsigned i = 0; i < 9; ++i) {
        const double height = (weights[i] / weightSum) / (ratioSigma * kSqrtTwoPi);
        const double centre = given * myys[i];
        for (std::size_t j = 0; j < periods.size(); ++j) {
            const double z = (periods[j] - centre) / s;
            out[j] += height * std::exp(-0.5 * (z * z));
        }
    }
}

}  // namespace meterTracker
