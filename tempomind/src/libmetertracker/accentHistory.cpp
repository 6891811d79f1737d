#include "accentHistory.h"

#include <algorithm>

namespace meterTracker {

AccentHistory::AccentHistory(unsigned channels, unsigned frames)
    : numChannels_(channels),
      size_(std::max(1u, frames)),
      low_(size_, 0.0),
      total_(size_, 0.0),
      channels_(static_cast<std::size_t>(size_) * channels, 0.0) {}

void AccentHistory::reset() {
    start_ = end_ = 0;
}

void AccentHistory::push(unsigned frame, double low, double total, const double* channels) {
    if (end_ == start_ || frame != end_) start_ = frame;  // first frame, or a gap: start afresh
    end_ = frame + 1;
    const unsigned slot = frame % size_;
    low_[slot] = low;
    total_[slot] = total;
    for (unsigned c = 0; c < numChannels_; ++c) channels_[slot * numChannels_ + c] = channels[c];
}

double AccentHistory::maxLow(long from, long to) const {
    const long lo = std::max(from, static_cast<long>(first()));
    const long hi = std::min(to, static_cast<long>(end_) - 1);
    double best = 0.0;
    for (long f = lo; f <= hi; ++f) best = std::max(best, low_[static_cast<unsigned>(f) % size_]);
    return best;
}

double AccentHistory::meanTotal(unsigned frames) const {
    const unsigned held = end_ - first();
    const unsigned n = std::min(frames, held);
    if (n == 0) return 0.0;
    double sum = 0.0;
    for (unsigned f = end_ - n; f < end_; ++f) sum += total_[f % size_];
    return sum / n;
}

}  // namespace meterTracker

namespace meterTracker {

void AccentHistory::recentTotals(unsigned frames, std::vector<double>& out) const {
    const unsigned held = end_ - first();
    const unsigned n = std::min(frames, held);
    out.resize(n);
    for (unsigned i = 0; i < n; ++i) out[i] = total_[(end_ - n + i) % size_];
}

}  // namespace meterTracker
