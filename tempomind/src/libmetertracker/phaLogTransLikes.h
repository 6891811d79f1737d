// Phase transition likelihood between the phase candidates of two
// consecutive analysis steps: a phase that moves by whole periods is favoured.
#ifndef METERTRACKER_PHALOGTRANSLIKES_H
#define METERTRACKER_PHALOGTRANSLIKES_H

#include <vector>

#include "Matrix.h"

namespace meterTracker {

// out[i][j] = exp(-0.5 (d / sigma)^2) / (sigma sqrt(2 pi)) with
// d = (fmod(period / 2 + |cur[j] - prev[i]|, period) - period / 2) / period,
// the distance of the time difference from the nearest whole number of
// periods, as a fraction of the period (in [-0.5, 0.5)). Despite the name the
// result is the density itself, not its logarithm. out is reshaped to
// prev.size() x cur.size() only when its shape differs (every element is
// written either way).
void phaLogTransLikes(const std::vector<double>& prev, const double& period,
                      const std::vector<double>& cur, const double& sigma,
                      NumaMathLibrary::Matrix<double>& out);

}  // namespace meterTracker

#endif
