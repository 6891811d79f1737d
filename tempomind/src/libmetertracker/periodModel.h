// The period stage of the meter tracker's analysis step: from the resonance
// of the comb-filter bank at every lag it decides the tatum, beat and bar
// periods. Each level's salience curve (resonance or its spectrum, weighted by
// a log-normal prior on the period) yields a few candidate periods; every
// combination of one candidate per level is scored by the candidates'
// saliences and by how well their periods fit integer ratios, and an online
// Viterbi recursion over the combinations favours slowly changing periods.
#ifndef METERTRACKER_PERIODMODEL_H
#define METERTRACKER_PERIODMODEL_H

#include <limits>
#include <vector>

#include "Matrix.h"
#include "fastRealFft.h"
#include "params.h"

namespace meterTracker {

// Two rows (previous step, current step) of numPeriodCandidates triples
// (beat period, bar period, tatum period): triple c holds candidate c of each
// level, in seconds. The tracker driver owns it; zeros after a reset.
using PeriodHistory = std::vector<std::vector<std::vector<double> > >;

// What the period stage hands back to the driver for one step.
struct PeriodChoice {
    double beat;       // seconds
    double bar;        // seconds
    double tatum;      // seconds
    double beatyness;  // mean beat salience over all lags
};

// The joint transition matrix of the Viterbi recursion over C^3 states
// (state s = beat j + C bar k + C^2 tatum l, C = rows of the 5 x 5 matrices):
// out[r][c] = previousScores[r] + beatTrans[r mod C][c mod C]
//             + barTrans[(r / C) mod C][(c / C) mod C] + tatumTrans[r / C^2][c / C^2],
// added in this order. Equal, element for element, to the scores column plus
// kron(ones(C^2), beatTrans), kron(kron(ones(C), barTrans), ones(C)) and
// kron(tatumTrans, ones(C^2)), but built without intermediate matrices. out is
// reshaped only when its shape differs.
void buildJointTransitions(const double* previousScores,
                           const NumaMathLibrary::Matrix<double>& beatTrans,
                           const NumaMathLibrary::Matrix<double>& barTrans,
                           const NumaMathLibrary::Matrix<double>& tatumTrans,
                           NumaMathLibrary::Matrix<double>& out);

class PeriodModel {
  public:
    // Candidates of one metrical level, strongest salience first.
    struct Candidates {
        std::vector<double> periods;    // seconds; 0 when the curve has no peak
        std::vector<double> saliences;  // salience at each candidate's peak
    };

    // Runs the period stage of the analysis step with index stepIndex (0 for
    // the first step after a reset) and returns the chosen periods.
    // resonance (v) and bias (u) hold one value per resonator lag
    // (params.numDelays each). periodHistory (2 x C x 3) and jointScores
    // (2 x C^3 after the first step; any shape before it) are the driver's
    // state and are updated. A chosen period of exactly 0 is reported on
    // standard output and replaced by 7.0 seconds.
    PeriodChoice step(unsigned stepIndex, const std::vector<double>& resonance,
                      const std::vector<double>& bias, const Params& params,
                      PeriodHistory& periodHistory, NumaMathLibrary::Matrix<double>& jointScores);

    // Inspection of the latest step (for tests and diagnostics).
    const Candidates& beatCandidates() const { return beat_; }
    const Candidates& barCandidates() const { return bar_; }
    const Candidates& tatumCandidates() const { return tatum_; }
    const std::vector<double>& beatSalience() const { return beatSalience_; }
    const std::vector<double>& barSalience() const { return barSalience_; }
    const std::vector<double>& tatumSalience() const { return tatumSalience_; }
    const std::vector<double>& jointObservation() const { return observation_; }
    // Periods of the tatum spectrum bins and of the resonator lags, seconds.
    const std::vector<double>& binPeriods() const { return binPeriods_; }
    const std::vector<double>& lagPeriods() const { return lagPeriods_; }

  private:
    // A level's period prior, lognPdf(period; myy, sigma)^exponent, over a
    // list of periods. The periods and the prior's parameters rarely change,
    // so the values are kept until one of them does.
    class PriorCurve {
      public:
        const std::vector<double>& over(const std::vector<double>& periods, double myy,
                                        double sigma, double exponent);

      private:
        std::vector<double> periods_, values_;
        double myy_ = std::numeric_limits<double>::quiet_NaN();  // nothing computed yet
        double sigma_ = 0.0, exponent_ = 0.0;
    };

    void computeTatumSpectrum(const std::vector<double>& resonance, const Params& params);
    void computeCandidatePeriods(const Params& params);
    double computeSaliences(const std::vector<double>& resonance, const std::vector<double>& bias,
                            const Params& params);
    void pickCandidates(const std::vector<double>& salience, const std::vector<double>& periods,
                        unsigned count, Candidates& out);
    void computeRatioLikelihoods(const Params& params);
    void computeJointObservation(const Params& params);
    void updateJointScores(unsigned stepIndex, const PeriodHistory& history, const Params& params,
                           NumaMathLibrary::Matrix<double>& jointScores);

    unsigned numCandidates_ = 0;  // C

    // Tatum spectrum of the resonance curve.
    std::vector<double> lagCurve_;       // resonance by lag, later windowed
    std::vector<double> window_;         // falling half cosine over the lags
    std::vector<double> transformInput_;  // the windowed curve, zero-padded to K
    FastRealFft transform_{4};
    std::vector<double> spectrumRe_, spectrumIm_;
    std::vector<double> tatumSpectrum_;  // magnitude per bin, bins 0 .. B
    unsigned transformSize_ = 0;         // K
    unsigned highestBin_ = 0;            // B

    std::vector<double> binPeriods_;
    std::vector<double> lagPeriods_;
    PriorCurve tatumPrior_, beatPrior_, barPrior_;
    std::vector<double> tatumSalience_;
    std::vector<double> beatSalience_;
    std::vector<double> barSalience_;

    std::vector<unsigned> peaks_;
    Candidates beat_, bar_, tatum_;

    std::vector<double> ratioLikelihood_;  // one beatGivenTatum result
    std::vector<double> barGivenBeat_;     // [bar k * C + beat j], log
    std::vector<double> beatGivenTatum_;   // [beat j * C + tatum l], log
    std::vector<double> observation_;      // C^3 joint log observation

    std::vector<double> previousPeriods_, currentPeriods_;
    NumaMathLibrary::Matrix<double> beatTrans_, barTrans_, tatumTrans_;
    std::vector<double> expandedTrans_;  // per level, C rows over the C^3 states
    std::vector<double> bestPredecessor_;
};

}  // namespace meterTracker

#endif
