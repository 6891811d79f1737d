// Log transition likelihoods between the period candidates of two
// consecutive analysis steps: periods that change little are favoured.
#ifndef METERTRACKER_METERLOGTRANSLIKES_H
#define METERTRACKER_METERLOGTRANSLIKES_H

#include <vector>

#include "Matrix.h"

namespace meterTracker {

// out[i][j] = -0.5 (log10(cur[j] / prev[i]) / sigma)^2. out is reshaped to
// prev.size() x cur.size() only when its shape differs (every element is
// written either way).
void meterLogTransLikes(const std::vector<double>& prev, const std::vector<double>& cur,
                        const double& sigma, NumaMathLibrary::Matrix<double>& out);

}  // namespace meterTracker

#endif
