// The last few seconds of the accent front end's output, frame by frame, for
// the stages that look back over the music: per frame the onset strength of
// the lowest bands (kick drum, bass), of every band together, and of each
// tracker channel (groups of adjacent bands). A ring: old frames are
// overwritten; frames are addressed by their absolute index on the accent
// clock.
#ifndef METERTRACKER_ACCENTHISTORY_H
#define METERTRACKER_ACCENTHISTORY_H

#include <vector>

namespace meterTracker {

class AccentHistory {
  public:
    // Keeps `frames` frames of `channels` channels.
    AccentHistory(unsigned channels, unsigned frames);

    void reset();
    // Frame `frame` (the next one after the last pushed, or any after a
    // reset): low-band, total and per-channel onset strength.
    void push(unsigned frame, double low, double total, const double* channels);

    // Frames held: [first(), end()).
    unsigned first() const { return end_ - start_ > size_ ? end_ - size_ : start_; }
    unsigned end() const { return end_; }
    bool holds(unsigned frame) const { return frame >= first() && frame < end_; }

    double low(unsigned frame) const { return low_[frame % size_]; }
    double total(unsigned frame) const { return total_[frame % size_]; }
    double channel(unsigned frame, unsigned c) const { return channels_[(frame % size_) * numChannels_ + c]; }

    // The largest low-band value over the frames from `from` to `to`
    // (inclusive) that are held; 0 when none is.
    double maxLow(long from, long to) const;
    // The mean total over the last `frames` frames held (fewer if fewer are).
    double meanTotal(unsigned frames) const;
    // The totals of the last `frames` frames held, oldest first, into out.
    void recentTotals(unsigned frames, std::vector<double>& out) const;

  private:
    unsigned numChannels_;
    unsigned size_;
    unsigned start_ = 0;  // first frame pushed since the reset
    unsigned end_ = 0;    // one past the newest frame
    std::vector<double> low_, total_, channels_;
};

}  // namespace meterTracker

#endif
