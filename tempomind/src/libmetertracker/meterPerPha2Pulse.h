// Turns the per-step (period, phase) estimates of one metrical level into a
// list of pulse instants.
#ifndef METERTRACKER_METERPERPHA2PULSE_H
#define METERTRACKER_METERPERPHA2PULSE_H

#include <vector>

namespace meterTracker {

// periods and phases are parallel lists, one entry per analysis step in step
// order (phases are pulse times in seconds). pulses starts with the first
// phase; each following phase that lies more than half a period (of the
// estimate considered before it) after that estimate is appended, and the gap
// before it is filled with pulses spaced by the earlier estimate's period.
// Phases within half a period of the previously considered one are dropped.
// With empty phases, pulses is cut or grown to a single element (0 when new).
void meterPerPha2Pulse(const std::vector<double>& periods, const std::vector<double>& phases,
                       std::vector<double>& pulses);

}  // namespace meterTracker

#endif
