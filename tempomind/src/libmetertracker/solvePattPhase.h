// Bar phase scores from the recent outputs of the resonator tuned to the bar
// period: two rhythm templates over the quarter positions of the bar.
#ifndef METERTRACKER_SOLVEPATTPHASE_H
#define METERTRACKER_SOLVEPATTPHASE_H

#include <vector>

#include "Matrix.h"

namespace meterTracker {

// m is tau x Nc: row p is position p inside one bar period (oldest first),
// column c channel c (channel 0 the lowest band group). For each position j
// as a candidate downbeat, out[j] is the larger of two template scores that
// weigh the channel sums at the bar's quarter offsets and the low channel at
// the downbeat. out is resized to tau. Returns the lowest position with the
// highest score (0 for an empty m).
unsigned solvePattPhase(const NumaMathLibrary::Matrix<double>& m, std::vector<double>& out);

}  // namespace meterTracker

#endif
