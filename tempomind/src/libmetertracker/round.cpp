#include "round.h"

#include <cmath>

namespace meterTracker {

unsigned round(double x) {
    const double lower = std::floor(x);
    const double rounded = (x - lower < 0.5) ? lower : std::ceil(x);
    // Through a signed integer so that a negative result wraps instead of
    // being an undefined double-to-unsigned conversion.
    return static_cast<unsigned>(static_cast<long long>(rounded));
}

}  // namespace meterTracker
