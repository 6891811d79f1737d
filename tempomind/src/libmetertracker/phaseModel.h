// The phase stage of the meter tracker's analysis step: once the periods are
// chosen it places the beat and the bar in time. It reads the recent output
// of the resonator whose delay matches each period, scores every position
// inside that period, keeps the best positions as phase candidates and runs
// a small online Viterbi recursion per level whose transitions favour a phase
// that advances by whole periods. The tatum takes the beat's phase.
#ifndef METERTRACKER_PHASEMODEL_H
#define METERTRACKER_PHASEMODEL_H

#include <vector>

#include "Matrix.h"
#include "params.h"

namespace meterTracker {

// Phase history and phase scores of the tracker driver: 2 rows (previous,
// current step) x numPhaseCandidates x 2 levels (0 beat, 1 bar). The history
// holds candidate times in seconds on the accent clock, the scores log
// scores.
using PhaseTable = std::vector<std::vector<std::vector<double> > >;

// The phases the stage hands back for one step: times in seconds on the
// accent clock at which a beat (and the tatum) falls and a bar begins.
struct PhaseChoice {
    double beat;
    double bar;
    double tatum;  // the beat's phase
};

// Index of the resonator whose delay is nearest to period (seconds) at the
// accent rate fs: the lowest index minimising |period fs - delays[i]|.
unsigned nearestResonator(double period, double fs, const std::vector<unsigned>& delays);

// The time (seconds on the accent clock at rate fs) of position `position`
// (whole or between two) of a delay line of tau frames that ends at accent
// frame lastFrame: position p lies at frame (lastFrame + 1) - tau + 1 + p,
// plus half a frame.
double linePositionTime(unsigned lastFrame, unsigned tau, double position, double fs);

class PhaseModel {
  public:
    // Runs the phase stage of the analysis step with index stepIndex (0 for
    // the first step after a reset), for the beat and bar periods the period
    // stage chose.
    //  lastFrame: absolute index n of the step's last accent frame.
    //  channelStates: per channel, the resonator bank's state array
    //      (Resonators::getState()), rows of stateStride values
    //      (Resonators::getLongestDelay()), row k holding resonator k's
    //      delay line, oldest first.
    //  levelDelays (2 x 2), phaseHistory and phaseScores: the driver's state,
    //      updated; phaseScores is rebuilt at step 0.
    //  observations: numPhaseCandidates x 2 log observations, zeroed by the
    //      driver at the start of each process call and kept across its steps
    //      (a level without any peak renews only candidate 0).
    PhaseChoice step(unsigned stepIndex, double beatPeriod, double barPeriod, unsigned lastFrame,
                     const std::vector<const double*>& channelStates, unsigned stateStride,
                     const Params& params, NumaMathLibrary::Matrix<double>& levelDelays,
                     PhaseTable& phaseHistory, PhaseTable& phaseScores,
                     NumaMathLibrary::Matrix<double>& observations);

    // The beat's position scores of the latest step, one per position of its
    // delay line (see linePositionTime).
    const std::vector<double>& beatPositionScores() const { return scores_[0]; }

  private:
    double placeLevel(int level, bool firstStep, double period, unsigned lastFrame,
                      const std::vector<const double*>& channelStates, unsigned stateStride,
                      const Params& params, NumaMathLibrary::Matrix<double>& levelDelays,
                      PhaseTable& phaseHistory, PhaseTable& phaseScores,
                      NumaMathLibrary::Matrix<double>& observations);
    void scorePositions(int level, unsigned resonator, unsigned tau,
                        const std::vector<const double*>& channelStates, unsigned stateStride);
    void pickCandidates(int level, unsigned tau, unsigned count);

    std::vector<double> scores_[2];                  // beat, bar: per position inside the period
    NumaMathLibrary::Matrix<double> recentOutputs_;  // tau x channels, for the bar
    std::vector<unsigned> candidates_;               // candidate positions
    std::vector<double> previousTimes_, currentTimes_;
    NumaMathLibrary::Matrix<double> transitions_;
};

}  // namespace meterTracker

#endif
