#include "phaseModel.h"

#include <cmath>

#include "maxSearch.h"
#include "peakPickHeight.h"
#include "phaLogTransLikes.h"
#include "precondition.h"
#include "solvePattPhase.h"

namespace meterTracker {

namespace {

enum PhaseLevel { kBeat = 0, kBar = 1 };
const unsigned kLevels = 2;

bool hasShape(const PhaseTable& table, unsigned candidates) {
    if (table.size() != 2) return false;
    for (const auto& row : table) {
        if (row.size() != candidates) return false;
        for (const auto& entry : row)
            if (entry.size() != kLevels) return false;
    }
    return true;
}

}  // namespace

unsigned nearestResonator(double period, double fs, const std::vector<unsigned>& delays) {
    const double lag = period * fs;
    unsigned best = 0;
    double bestDistance = delays.empty() ? 0.0 : std::fabs(lag - delays[0]);
    for (unsigned i = 1; i < delays.size(); ++i) {
        const double distance = std::fabs(lag - delays[i]);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

double linePositionTime(unsigned lastFrame, unsigned tau, double position, double fs) {
    const double frame = static_cast<double>(lastFrame) + 1.0 - tau + 1.0 + position;
    return frame / fs + 0.5 / fs;
}

PhaseChoice PhaseModel::step(unsigned stepIndex, double beatPeriod, double barPeriod,
                             unsigned lastFrame, const std::vector<const double*>& channelStates,
                             unsigned stateStride, const Params& params,
                             NumaMathLibrary::Matrix<double>& levelDelays, PhaseTable& phaseHistory,
                             PhaseTable& phaseScores,
                             NumaMathLibrary::Matrix<double>& observations) {
    const unsigned C = params.numPhaseCandidates;
    TM_PRECONDITION(C > 0, "numPhaseCandidates > 0");
    TM_PRECONDITION(!params.delays.empty(), "numDelays > 0");
    TM_PRECONDITION(levelDelays.nRows() == 2 && levelDelays.nCols() == kLevels,
                    "levelDelays is 2 x 2");
    TM_PRECONDITION(observations.nRows() == C && observations.nCols() == kLevels,
                    "observations is numPhaseCandidates x 2");
    TM_PRECONDITION(hasShape(phaseHistory, C), "phaseHistory is 2 x numPhaseCandidates x 2");

    // The first step after a reset starts the recursion from the observations.
    const bool firstStep = stepIndex == 0 || !hasShape(phaseScores, C);
    if (firstStep)
        phaseScores.assign(2, std::vector<std::vector<double> >(C, std::vector<double>(kLevels)));

    PhaseChoice choice;
    choice.beat = placeLevel(kBeat, firstStep, beatPeriod, lastFrame, channelStates, stateStride,
                             params, levelDelays, phaseHistory, phaseScores, observations);
    choice.tatum = choice.beat;
    choice.bar = placeLevel(kBar, firstStep, barPeriod, lastFrame, channelStates, stateStride,
                            params, levelDelays, phaseHistory, phaseScores, observations);
    return choice;
}

double PhaseModel::placeLevel(int level, bool firstStep, double period, unsigned lastFrame,
                              const std::vector<const double*>& channelStates, unsigned stateStride,
                              const Params& params, NumaMathLibrary::Matrix<double>& levelDelays,
                              PhaseTable& phaseHistory, PhaseTable& phaseScores,
                              NumaMathLibrary::Matrix<double>& observations) {
    const double fs = params.accentRate;
    const double P = params.logFloor;
    const unsigned C = params.numPhaseCandidates;

    // The resonator tuned to the period; its delay line covers one period.
    const unsigned resonator = nearestResonator(period, fs, params.delays);
    const unsigned tau = params.delays[resonator];
    TM_PRECONDITION(tau <= stateStride, "delay <= state row stride");

    scorePositions(level, resonator, tau, channelStates, stateStride);
    pickCandidates(level, tau, C);

    // Observation of each candidate position (negative scores count as 0).
    for (unsigned l = 0; l < candidates_.size(); ++l) {
        const double score = scores_[level][candidates_[l]];
        observations[l][level] = std::log((score > 0.0 ? score : 0.0) + P);
    }

    // Candidate times on the accent clock: the delay line ends at the step's
    // last frame.
    for (unsigned l = 0; l < C; ++l) phaseHistory[0][l][level] = phaseHistory[1][l][level];
    for (unsigned l = 0; l < candidates_.size(); ++l)
        phaseHistory[1][l][level] = linePositionTime(lastFrame, tau, candidates_[l], fs);

    levelDelays[0][level] = levelDelays[1][level];
    levelDelays[1][level] = tau;

    // Viterbi recursion over the candidates.
    std::vector<std::vector<double> >& previousScores = phaseScores[0];
    std::vector<std::vector<double> >& currentScores = phaseScores[1];
    if (firstStep) {
        for (unsigned l = 0; l < C; ++l) currentScores[l][level] = observations[l][level];
    } else {
        previousTimes_.resize(C);
        currentTimes_.resize(C);
        for (unsigned l = 0; l < C; ++l) {
            previousTimes_[l] = phaseHistory[0][l][level];
            currentTimes_[l] = phaseHistory[1][l][level];
        }
        // The previous step's period, from the delay used then.
        phaLogTransLikes(previousTimes_, levelDelays[0][level] / fs, currentTimes_,
                         params.phaseTransSigma, transitions_);
        for (unsigned l = 0; l < C; ++l)
            for (unsigned m = 0; m < C; ++m) transitions_[l][m] += currentScores[l][level];
        for (unsigned m = 0; m < C; ++m) {
            previousScores[m][level] = currentScores[m][level];
            currentScores[m][level] = findFirstMax(C, [this, m](std::size_t l) {
                                          return transitions_[static_cast<unsigned>(l)][m];
                                      }).value;
        }
        for (unsigned l = 0; l < C; ++l) currentScores[l][level] += observations[l][level];
    }

    // Decision: the best candidate's time.
    const std::size_t best = findFirstMax(C, [&currentScores, level](std::size_t l) {
                                 return currentScores[l][level];
                             }).index;
    return phaseHistory[1][best][level];
}

// Score of every position inside the period, from the recent outputs of the
// chosen resonator in every channel.
void PhaseModel::scorePositions(int level, unsigned resonator, unsigned tau,
                                const std::vector<const double*>& channelStates,
                                unsigned stateStride) {
    const unsigned channels = static_cast<unsigned>(channelStates.size());
    const std::size_t rowStart = static_cast<std::size_t>(resonator) * stateStride;

    if (level == kBeat) {
        // Weighted channel sum, the lowest band group heaviest (Nc + 1 - c).
        std::vector<double>& scores = scores_[kBeat];
        scores.assign(tau, 0.0);
        for (unsigned p = 0; p < tau; ++p) {
            double sum = 0.0;
            for (unsigned c = 0; c < channels; ++c)
                sum += (channels + 1 - c) * channelStates[c][rowStart + p];
            scores[p] = sum;
        }
        return;
    }

    // The bar: rhythm templates over the bar's quarter positions.
    if (recentOutputs_.nRows() != tau || recentOutputs_.nCols() != channels)
        recentOutputs_.resize(tau, channels, 0.0);
    for (unsigned p = 0; p < tau; ++p) {
        double* row = recentOutputs_[p];
        for (unsigned c = 0; c < channels; ++c) row[c] = channelStates[c][rowStart + p];
    }
    solvePattPhase(recentOutputs_, scores_[kBar]);
}

// The best positions as candidates. Without any peak the middle of the
// period is the single candidate; missing entries repeat the one before.
void PhaseModel::pickCandidates(int level, unsigned tau, unsigned count) {
    peakPickHeight(scores_[level], count, candidates_);
    if (candidates_[0] >= tau) candidates_.assign(1, static_cast<unsigned>(std::ceil(tau * 0.5)));
    for (unsigned l = 0; l < candidates_.size(); ++l)
        if (candidates_[l] >= tau) candidates_[l] = (l == 0) ? 0 : candidates_[l - 1];
}

}  // namespace meterTracker
