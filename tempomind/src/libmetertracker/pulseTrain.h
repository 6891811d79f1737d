// The pulse list of one metrical level, built one analysis step at a time.
//
// meterPerPha2Pulse turns the whole list of per-step (period, phase)
// estimates into pulses; a tracker that rebuilt its lists that way after
// every step would spend ever more time on them as it runs. PulseTrain gives
// exactly the same pulses (the same arithmetic in the same order), but takes
// each new estimate as it comes and keeps only the estimates the next pulses
// still depend on. Old pulses can be dropped from the front, so that a train
// that runs for hours holds a bounded number of them.
#ifndef METERTRACKER_PULSETRAIN_H
#define METERTRACKER_PULSETRAIN_H

#include <cstddef>
#include <vector>

namespace meterTracker {

class PulseTrain {
  public:
    PulseTrain() { reset(); }

    // No estimate yet: the list is the single value 0.
    void reset();
    // The estimate of the next analysis step (seconds).
    void add(double period, double phase);

    // The pulses kept, oldest first: after the same estimates, the list
    // meterPerPha2Pulse gives, less the dropped ones at its front.
    const std::vector<double>& pulses() const { return pulses_; }
    // Pulses dropped from the front so far; pulse k of the whole list is
    // pulses()[k - dropped()].
    std::size_t dropped() const { return dropped_; }
    // Drops the pulses before time, keeping at least the newest one.
    void dropBefore(double time);

  private:
    void advance();

    struct Estimate {
        double period;
        double phase;
    };
    // Estimates from the current one on; estimates_[0] is estimate first_.
    std::vector<Estimate> estimates_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;    // estimates added since the reset
    std::size_t current_ = 0;  // the estimate whose pulses are being laid
    std::size_t chain_ = 0;    // the last estimate found within half a period of the one before
    bool filled_ = false;      // the gap after the current estimate has been filled
    std::vector<double> pulses_;
    std::size_t dropped_ = 0;
};

}  // namespace meterTracker

#endif
