// How sure an analysis step is that the music has a steady beat, from 0
// (none: silence, a steady tone, noise) to 1. Two things must hold:
// - activity: the accent signal (onset strength of all bands) over the last
//   seconds is well above what silence, a constant level or a steady tone
//   leave (the front end normalises the input's level, so this does not
//   depend on how loud the music is), and it comes in onsets: its strongest
//   moments stand well above its mean, as they do not in noise;
// - steadiness: the beat period moves smoothly, if at all: the share of the
//   recent steps whose beat period lies within 3 % of the step's before
//   (noise gives the tracker a new period every other step; music, also
//   music whose tempo bends, keeps it from step to step).
// Both models get a confidence; it changes what is reported and sent, not
// what the tracker estimates.
#ifndef METERTRACKER_STEPCONFIDENCE_H
#define METERTRACKER_STEPCONFIDENCE_H

#include <vector>

#include "accentHistory.h"

namespace meterTracker {

// Below this a step is taken to have no steady beat.
constexpr double kSteadyBeatConfidence = 0.5;

class StepConfidence {
  public:
    explicit StepConfidence(double accentRate);
    void reset();
    // The confidence of a step with this beat period, the history holding
    // the step's frames.
    double update(const AccentHistory& history, double beatPeriod);

  private:
    double fs_;
    std::vector<double> totals_;  // scratch: the accent of the activity window
    double previous_ = 0.0;      // the beat period of the step before
    std::vector<bool> steady_;   // per recent step: its period continued the one before
    unsigned count_ = 0;         // steps seen since the reset
};

}  // namespace meterTracker

#endif
