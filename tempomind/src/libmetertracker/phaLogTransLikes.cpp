#include "phaLogTransLikes.h"

#include <cmath>

namespace meterTracker {

namespace {
const double kSqrtTwoPi = 2.5066282746310002;
}

void phaLogTransLikes(const std::vector<double>& prev, const double& period,
                      const std::vector<double>& cur, const double& sigma,
                      NumaMathLibrary::Matrix<double>& out) {
    const unsigned rows = static_cast<unsigned>(prev.size());
    const unsigned cols = static_cast<unsigned>(cur.size());
    if (out.nRows() != rows || out.nCols() != cols) out.resize(rows, cols, 0.0);
    const double halfPeriod = 0.5 * period;
    const double peak = sigma * kSqrtTwoPi;
    for (unsigned i = 0; i < rows; ++i) {
        double* row = out[i];
        for (unsigned j = 0; j < cols; ++j) {
            const double d =
                (std::fmod(halfPeriod + std::fabs(cur[j] - prev[i]), period) - halfPeriod) / period;
            const double z = d / sigma;
            row[j] = std::exp(-0.5 * (z * z)) / peak;
        }
    }
}

}  // namespace meterTracker
