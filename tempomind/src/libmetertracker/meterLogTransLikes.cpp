#include "meterLogTransLikes.h"

#include <cmath>

namespace meterTracker {

void meterLogTransLikes(const std::vector<double>& prev, const std::vector<double>& cur,
                        const double& sigma, NumaMathLibrary::Matrix<double>& out) {
    const unsigned rows = static_cast<unsigned>(prev.size());
    const unsigned cols = static_cast<unsigned>(cur.size());
    if (out.nRows() != rows || out.nCols() != cols) out.resize(rows, cols, 0.0);
    for (unsigned i = 0; i < rows; ++i) {
        double* row = out[i];
        for (unsigned j = 0; j < cols; ++j) {
            const double z = std::log10(cur[j] / prev[i]) / sigma;
            row[j] = -0.5 * (z * z);
        }
    }
}

}  // namespace meterTracker
