// The maximum search every stage of the meter tracker uses: the lowest index
// wins ties, and a value that is not a number never becomes the maximum.
#ifndef METERTRACKER_MAXSEARCH_H
#define METERTRACKER_MAXSEARCH_H

#include <cstddef>
#include <limits>

namespace meterTracker {

// Index and value of the maximum of value(0) .. value(count - 1), scanning
// upwards and moving only on a strictly greater value. When no value is above
// minus infinity (all NaN, all -inf, or count 0) the result is index 0 with
// value minus infinity.
struct MaxResult {
    std::size_t index;
    double value;
};

template <typename ValueAt>
MaxResult findFirstMax(std::size_t count, ValueAt value) {
    MaxResult best{0, -std::numeric_limits<double>::infinity()};
    for (std::size_t i = 0; i < count; ++i) {
        const double v = value(i);
        if (v > best.value) best = MaxResult{i, v};
    }
    return best;
}

inline std::size_t firstMaxIndex(const double* values, std::size_t count) {
    return findFirstMax(count, [values](std::size_t i) { return values[i]; }).index;
}

}  // namespace meterTracker

#endif
