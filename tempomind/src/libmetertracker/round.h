// Rounding used throughout the meter tracker: halves round up.
#ifndef METERTRACKER_ROUND_H
#define METERTRACKER_ROUND_H

namespace meterTracker {

// Returns floor(x) when x - floor(x) < 0.5 and ceil(x) otherwise, as unsigned.
unsigned round(double x);

}  // namespace meterTracker

#endif
