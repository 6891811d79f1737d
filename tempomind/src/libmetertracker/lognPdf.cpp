#include "lognPdf.h"

#include <cmath>

namespace meterTracker {

namespace {
const double kSqrtTwoPi = 2.5066282746310002;
}

void lognPdf(const double& x, const double& myy, const double& sigma, double& out) {
    const double c = std::log(x / myy);
    out = std::exp(c * c / (sigma * sigma * (-2.0))) / (x * sigma * kSqrtTwoPi);
}

void lognPdf(const std::vector<double>& x, const double& myy, const double& sigma,
             std::vector<double>& out) {
    out.resize(x.size(), 0.0);
    for (std::size_t i = 0; i < x.size(); ++i) lognPdf(x[i], myy, sigma, out[i]);
}

}  // namespace meterTracker
