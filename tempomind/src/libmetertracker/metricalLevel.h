// Metrical-level correction for the enhanced model: a causal stage that runs
// after the classic period and phase stages of every analysis step and decides
// whether the classic beat should be regrouped.
//
// What it decides. The classic beat of compound music (6/8, 12/8, slow
// swing) often lands on the quarter note, two eighths, while the felt beat is
// the dotted quarter, three eighths. The stage folds the accent signal on the
// eighth grid of the classic beat (two eighths per classic beat, six per cycle
// of three classic beats, counted from the first step so that a position keeps
// its number from step to step) and measures, for each of the three ways to
// lay a dotted-quarter grid on those six eighths, how much stronger the
// weaker of its two positions is than the mean of the four others:
//     grouping(o) = min(A[o], A[o + 3]) / mean(A[o + 1], A[o + 2], A[o + 4], A[o + 5]).
// In binary music the dotted grid always takes one on-beat and one off-beat
// eighth, so grouping stays near 1; in compound music both of its positions
// carry the beats and it reaches 2 to 5. Sustained evidence (grouping above
// kGroupingEnter for kEnterSteps steps in a row) switches to the ternary
// reading: beat period x 1.5, tatum = the eighth (classic beat / 2), phase on
// the eighth of the winning grid; grouping below kGroupingLeave for
// kLeaveSteps steps returns to the classic beat. The phase of the regrouped
// beat is taken among the classic eighths by their running number, so it stays
// continuous from step to step and moves only when the grid itself moves.
//
// Doubling of fast pieces and halving of slow ones are not decided here: no
// accent-pattern cue examined separated them from correct readings without
// breaking some of those (see the branch report); the stage leaves both
// levels as the classic model has them.
//
// Use: configure once per parameter record (allocates), then step() once per
// analysis step, in order; reset() when the tracker resets. step() allocates
// nothing.
#ifndef METERTRACKER_METRICALLEVEL_H
#define METERTRACKER_METRICALLEVEL_H

#include <vector>

#include "Matrix.h"
#include "params.h"
#include "periodModel.h"
#include "phaseModel.h"

namespace meterTracker {

// The corrected estimate of one step. Times in seconds on the accent clock,
// as in PeriodChoice and PhaseChoice.
struct LevelChoice {
    double beatPeriod;      // seconds
    double beatPhase;       // a beat time, seconds
    double tatumPeriod;     // seconds
    double barPeriod;       // seconds, a whole number of corrected beats
    double beatMultiplier;  // beatPeriod / classic beat period: 1 or 1.5
    bool ternary;           // the classic beat was regrouped into dotted beats
    double grouping;        // latest best grouping score (0 before it is known)
};

class MetricalLevel {
  public:
    // Grouping score above which a step counts as compound evidence, and below
    // which it counts as binary evidence once regrouped.
    static constexpr double kGroupingEnter = 2.0;
    static constexpr double kGroupingLeave = 1.6;
    // Steps (0.5 s each) of evidence in a row needed to switch: entering
    // takes 5 s of it, leaving a single step, so that a wrong regrouping
    // never lasts.
    static constexpr unsigned kEnterSteps = 10;
    static constexpr unsigned kLeaveSteps = 1;
    // Seconds of accent history folded per step.
    static constexpr double kWindowSeconds = 6.0;
    // Weight of the newest step's profile in the running profile: a time
    // constant of about 7 s.
    static constexpr double kProfileUpdate = 0.07;
    // Steps before any decision: the profile first needs a few beats.
    static constexpr unsigned kWarmupSteps = 8;
    // Slowest regrouped beat accepted, seconds (40 BPM).
    static constexpr double kLongestBeat = 1.5;

    MetricalLevel() = default;

    // Sizes the accent history for params.accentRate and resets.
    void configure(const Params& params);
    // Forgets the history and the decision.
    void reset();

    // One analysis step.
    //  periods, phases: what the classic stages chose for this step.
    //  envelopes: band envelopes (bands x frames) as the driver holds them;
    //      columns firstColumn .. firstColumn + frames - 1 are this step's
    //      accent frames, the last of them absolute frame lastFrame.
    // Returns the corrected beat; equal to the classic one unless regrouped.
    LevelChoice step(const PeriodChoice& periods, const PhaseChoice& phases,
                     const NumaMathLibrary::Matrix<double>& envelopes, unsigned firstColumn,
                     unsigned frames, unsigned lastFrame);

    // The running accent profile over the six eighths (sums to 1 once known).
    const double* profile() const { return profile_; }

  private:
    void appendAccents(const NumaMathLibrary::Matrix<double>& envelopes, unsigned firstColumn,
                       unsigned frames, unsigned lastFrame);
    double accentAt(long frame, double floor) const;  // peak within +-2 frames
    bool foldStep(double period, double phase, double nowSeconds);
    double bestGrouping(unsigned& offset) const;
    LevelChoice classicChoice(const PeriodChoice& periods, const PhaseChoice& phases) const;

    double accentRate_ = 0.0;
    std::vector<double> ring_;     // band-summed accent, one value per frame
    std::vector<double> scratch_;  // for the median of the window
    long newestFrame_ = -1;        // absolute frame of the newest ring value
    unsigned steps_ = 0;

    // Running number of the classic beat at the latest phase.
    long beatCount_ = 0;
    double previousPhase_ = 0.0;
    bool havePhase_ = false;

    double profile_[6] = {0, 0, 0, 0, 0, 0};
    bool haveProfile_ = false;

    bool ternary_ = false;
    unsigned offset_ = 0;  // eighth (mod 3) that carries the dotted beats
    unsigned run_ = 0;     // steps in a row of evidence against the current reading
};

}  // namespace meterTracker

#endif
