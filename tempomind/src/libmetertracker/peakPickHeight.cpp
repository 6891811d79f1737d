#include "peakPickHeight.h"

#include <cstddef>

namespace meterTracker {

namespace {

// A peak in the order it is ranked: key = -height, so ascending keys put the
// highest peak first.
struct PeakRecord {
    double key;
    unsigned position;
};

bool isLocalMaximum(const std::vector<double>& x, std::size_t i) {
    if (i + 1 < x.size() && !(x[i] > x[i + 1])) return false;
    if (i > 0 && !(x[i] > x[i - 1])) return false;
    return true;
}

}  // namespace

int compare(const void* a, const void* b) {
    const double first = *static_cast<const double*>(a);
    const double second = *static_cast<const double*>(b);
    if (first > second) return 1;
    if (first < second) return -1;
    return 0;
}

bool peakPickHeight(const std::vector<double>& x, const unsigned& n, std::vector<unsigned>& peaks) {
    if (n == 0) return false;
    const unsigned noPeak = static_cast<unsigned>(x.size());
    peaks.assign(n, noPeak);

    // Only the n best peaks are kept, so instead of sorting every peak the
    // ranked list is built by insertion, scanning positions upwards. A new
    // peak goes after every kept peak it does not strictly beat, which keeps
    // equal heights in position order. The result equals the first n entries
    // of a stable sort by height, with no scratch storage.
    unsigned kept = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!isLocalMaximum(x, i)) continue;
        const PeakRecord record{-x[i], static_cast<unsigned>(i)};
        unsigned slot = kept;
        while (slot > 0) {
            const PeakRecord above{-x[peaks[slot - 1]], peaks[slot - 1]};
            if (compare(&record, &above) >= 0) break;
            --slot;
        }
        if (slot >= n) continue;
        const unsigned last = (kept < n) ? kept : n - 1;
        for (unsigned k = last; k > slot; --k) peaks[k] = peaks[k - 1];
        peaks[slot] = record.position;
        if (kept < n) ++kept;
    }
    return kept > 0;
}

}  // namespace meterTracker
