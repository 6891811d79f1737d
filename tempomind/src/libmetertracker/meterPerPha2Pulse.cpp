#include "meterPerPha2Pulse.h"

#include <cstddef>

#include "precondition.h"

namespace meterTracker {

void meterPerPha2Pulse(const std::vector<double>& periods, const std::vector<double>& phases,
                       std::vector<double>& pulses) {
    // Every phase needs its period; a shorter period list would be read past its end.
    TM_PRECONDITION(periods.size() >= phases.size(), "periods.size() >= phases.size()");
    pulses.resize(1, 0.0);
    if (phases.empty()) return;

    std::size_t i = 0;
    pulses[0] = phases[0];
    const std::size_t count = phases.size();
    for (;;) {
        // Fill the gap up to the next estimate with pulses of this period. A
        // period that is not positive would never reach the next estimate, so
        // it fills nothing.
        if (i + 1 < count && periods[i] > 0.0) {
            const double limit = phases[i + 1] - 0.5 * periods[i];
            for (unsigned k = 1;; ++k) {
                const double pulse = phases[i] + k * periods[i];
                if (!(pulse < limit)) break;
                pulses.push_back(pulse);
            }
        }
        // Advance to the next estimate that is not within half a period of
        // the one considered before it.
        std::size_t a = i;
        std::size_t next = count;
        for (std::size_t j = a + 1; j < count; j = a + 1) {
            if (phases[a] + 0.5 * periods[a] > phases[j]) {
                a = j;
            } else {
                next = j;
                break;
            }
        }
        if (next == count) return;
        i = next;
        pulses.push_back(phases[i]);
    }
}

}  // namespace meterTracker
