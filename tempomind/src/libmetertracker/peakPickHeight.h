// Picking the highest local maxima of a curve: the period and phase models
// keep their strongest candidates this way.
#ifndef METERTRACKER_PEAKPICKHEIGHT_H
#define METERTRACKER_PEAKPICKHEIGHT_H

#include <vector>

namespace meterTracker {

// Finds the positions of the n highest local maxima of x, highest first.
// A position is a maximum when it is strictly above both neighbours (the
// ends need only beat their one neighbour; plateaus never count). peaks is
// resized to n; entries for which there is no maximum hold x.size(), the
// no-peak mark. Among equal heights the lower position comes first.
// Returns false (peaks all no-peak marks) when x has no maximum, and false
// without touching peaks when n is 0.
bool peakPickHeight(const std::vector<double>& x, const unsigned& n, std::vector<unsigned>& peaks);

// Ordering of (key, position) records by their first double: 1 when the first
// record's key is larger, -1 when it is smaller, 0 when equal.
int compare(const void* a, const void* b);

}  // namespace meterTracker

#endif
