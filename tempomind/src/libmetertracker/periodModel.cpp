#include "periodModel.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

#include "beatGivenTatum.h"
#include "fastRealFft.h"
#include "lognPdf.h"
#include "maxSearch.h"
#include "meterLogTransLikes.h"
#include "peakPickHeight.h"
#include "precondition.h"
#include "round.h"

namespace meterTracker {

namespace {

const double kLn2 = 0.6931471805599453;
const double kPi = 3.141592653589793;
// Highest tatum rate considered, Hz.
const double kHighestTatumRate = 20.0;
// Substituted for a chosen period of exactly zero, seconds.
const double kZeroPeriodSubstitute = 7.0;

enum Level { kBeat = 0, kBar = 1, kTatum = 2 };

bool anyFinite(const double* values, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        if (std::isfinite(values[i])) return true;
    return false;
}

}  // namespace

void buildJointTransitions(const double* previousScores,
                           const NumaMathLibrary::Matrix<double>& beatTrans,
                           const NumaMathLibrary::Matrix<double>& barTrans,
                           const NumaMathLibrary::Matrix<double>& tatumTrans,
                           NumaMathLibrary::Matrix<double>& out) {
    const unsigned C = beatTrans.nRows();
    TM_PRECONDITION(beatTrans.nCols() == C && barTrans.nRows() == C && barTrans.nCols() == C &&
                        tatumTrans.nRows() == C && tatumTrans.nCols() == C,
                    "transition matrices C x C");
    const unsigned states = C * C * C;
    if (out.nRows() != states || out.nCols() != states) out.resize(states, states, 0.0);

    // r = j + C k + C^2 l (previous state), c = j2 + C k2 + C^2 l2 (next state).
    unsigned r = 0;
    for (unsigned l = 0; l < C; ++l)
        for (unsigned k = 0; k < C; ++k)
            for (unsigned j = 0; j < C; ++j, ++r) {
                const double score = previousScores[r];
                const double* beatRow = beatTrans[j];
                const double* barRow = barTrans[k];
                const double* tatumRow = tatumTrans[l];
                double* outRow = out[r];
                unsigned c = 0;
                for (unsigned l2 = 0; l2 < C; ++l2)
                    for (unsigned k2 = 0; k2 < C; ++k2)
                        for (unsigned j2 = 0; j2 < C; ++j2, ++c)
                            outRow[c] = score + beatRow[j2] + barRow[k2] + tatumRow[l2];
            }
}

const std::vector<double>& PeriodModel::PriorCurve::over(const std::vector<double>& periods,
                                                         double myy, double sigma,
                                                         double exponent) {
    if (periods != periods_ || myy != myy_ || sigma != sigma_ || exponent != exponent_) {
        periods_ = periods;
        myy_ = myy;
        sigma_ = sigma;
        exponent_ = exponent;
        values_.resize(periods.size());
        for (std::size_t i = 0; i < periods.size(); ++i) {
            double density;
            lognPdf(periods[i], myy, sigma, density);
            values_[i] = std::pow(density, exponent);
        }
    }
    return values_;
}

PeriodChoice PeriodModel::step(unsigned stepIndex, const std::vector<double>& resonance,
                               const std::vector<double>& bias, const Params& params,
                               PeriodHistory& periodHistory,
                               NumaMathLibrary::Matrix<double>& jointScores) {
    const unsigned N = params.numDelays;
    const unsigned C = params.numPeriodCandidates;
    TM_PRECONDITION(resonance.size() == N && bias.size() == N && params.delays.size() == N,
                    "resonance.size() == bias.size() == numDelays");
    TM_PRECONDITION(N > 0, "numDelays > 0");
    TM_PRECONDITION(C > 0, "numPeriodCandidates > 0");
    TM_PRECONDITION(params.periodTransSigmas.size() >= 3, "periodTransSigmas.size() >= 3");
    TM_PRECONDITION(
        periodHistory.size() == 2 && periodHistory[0].size() == C && periodHistory[1].size() == C,
        "periodHistory is 2 x numPeriodCandidates x 3");
    for (const auto& row : periodHistory)
        for (const auto& triple : row)
            TM_PRECONDITION(triple.size() == 3, "periodHistory is 2 x numPeriodCandidates x 3");
    numCandidates_ = C;

    computeTatumSpectrum(resonance, params);
    computeCandidatePeriods(params);
    const double beatyness = computeSaliences(resonance, bias, params);

    pickCandidates(tatumSalience_, binPeriods_, C, tatum_);
    pickCandidates(beatSalience_, lagPeriods_, C, beat_);
    pickCandidates(barSalience_, lagPeriods_, C, bar_);

    computeRatioLikelihoods(params);
    computeJointObservation(params);

    // The current candidates become the history's current row.
    periodHistory[0] = periodHistory[1];
    for (unsigned c = 0; c < C; ++c) {
        std::vector<double>& triple = periodHistory[1][c];
        triple[kBeat] = beat_.periods[c];
        triple[kBar] = bar_.periods[c];
        triple[kTatum] = tatum_.periods[c];
    }

    updateJointScores(stepIndex, periodHistory, params, jointScores);

    // Decision: the best joint state of this step.
    const std::size_t best = firstMaxIndex(jointScores[1], jointScores.nCols());
    const unsigned chosen[3] = {static_cast<unsigned>(best % C),         // beat
                                static_cast<unsigned>((best / C) % C),   // bar
                                static_cast<unsigned>(best / (C * C))};  // tatum

    // A level without any peak has only zero candidates; its period cannot be
    // used, so it is reported and replaced in the history.
    static const char* const kZeroMessages[3] = {"ERROR: Period estimate for beat zero.",
                                                 "ERROR: Period estimate for pattern zero.",
                                                 "ERROR: Period estimate for tatum zero."};
    double periods[3];
    for (int level = kBeat; level <= kTatum; ++level) {
        double& period = periodHistory[1][chosen[level]][level];
        if (period == 0.0) {
            std::cerr << kZeroMessages[level] << std::endl;
            period = kZeroPeriodSubstitute;
        }
        periods[level] = period;
    }
    return PeriodChoice{periods[kBeat], periods[kBar], periods[kTatum], beatyness};
}

// The spectrum of the resonance curve over lags: a tatum shows up as a
// regular pattern of resonance peaks, i.e. as a spectral peak at its rate.
void PeriodModel::computeTatumSpectrum(const std::vector<double>& resonance, const Params& params) {
    const double fs = params.accentRate;
    const unsigned N = params.numDelays;

    // Resonance by lag (lag d at index d - 1).
    unsigned D = 0;
    for (unsigned d : params.delays)
        if (d > D) D = d;
    lagCurve_.assign(D, 0.0);
    for (unsigned k = 0; k < N; ++k) lagCurve_[params.delays[k] - 1] = resonance[k];

    // Transform size (power of two at or above D) and the highest bin, about 20 Hz.
    transformSize_ = static_cast<unsigned>(std::pow(2.0, std::ceil(std::log(D) / kLn2)));
    const unsigned K = transformSize_;
    if (fs * 0.5 > kHighestTatumRate)
        highestBin_ = round(K * kHighestTatumRate / fs);
    else
        highestBin_ = round(fs * 0.5 * K / fs);
    const unsigned B = highestBin_;

    // Remove the mean.
    double sum = 0.0;
    for (double value : lagCurve_) sum += value;
    const double mean = sum / D;
    for (double& value : lagCurve_) value -= mean;

    // Falling half-cosine window; it depends on D only.
    if (window_.size() != D) {
        window_.resize(D);
        for (unsigned k = 0; k < D; ++k) window_[k] = 0.5 * std::cos((k + 1) * kPi / (D + 1)) + 0.5;
    }
    for (unsigned k = 0; k < D; ++k) lagCurve_[k] *= window_[k];

    // Magnitude spectrum, bins 0 .. B (B <= K / 2), scaled by the number of
    // lags; the lag curve is real, so the real transform serves.
    TM_PRECONDITION(B <= K / 2, "tatum bins below the Nyquist bin");
    transformInput_.assign(K, 0.0);
    std::copy(lagCurve_.begin(), lagCurve_.end(), transformInput_.begin());
    if (transform_.size() != K) transform_ = FastRealFft(K);
    spectrumRe_.resize(K / 2 + 1);
    spectrumIm_.resize(K / 2 + 1);
    transform_.forward(transformInput_.data(), spectrumRe_.data(), spectrumIm_.data());
    tatumSpectrum_.resize(B + 1);
    for (unsigned b = 0; b <= B; ++b) {
        const double re = spectrumRe_[b];
        const double im = spectrumIm_[b];
        tatumSpectrum_[b] = std::sqrt(re * re + im * im) / N;
    }
}

void PeriodModel::computeCandidatePeriods(const Params& params) {
    const double fs = params.accentRate;
    const unsigned N = params.numDelays;
    const unsigned K = transformSize_;
    const unsigned B = highestBin_;

    lagPeriods_.resize(N);
    for (unsigned i = 0; i < N; ++i) lagPeriods_[i] = params.delays[i] / fs;

    // Bin 0 (no period) takes the period of bin 1.
    binPeriods_.resize(B + 1);
    for (unsigned b = 1; b <= B; ++b) binPeriods_[b] = 1.0 / (b * fs / K);
    binPeriods_[0] = 1.0 / (1 * fs / K);
}

// Salience of every candidate period per level, weighted by the level's
// period prior. Returns the beatyness, the mean beat salience.
double PeriodModel::computeSaliences(const std::vector<double>& resonance,
                                     const std::vector<double>& bias, const Params& params) {
    const unsigned N = params.numDelays;
    const unsigned B = highestBin_;

    const std::vector<double>& tatumPrior = tatumPrior_.over(
        binPeriods_, params.tatumMyy, params.tatumSigma, params.tatumPriorExponent);
    tatumSalience_.resize(B + 1);
    for (unsigned b = 0; b <= B; ++b)
        tatumSalience_[b] = tatumPrior[b] * std::sqrt(binPeriods_[b]) * tatumSpectrum_[b];

    const std::vector<double>& beatPrior =
        beatPrior_.over(lagPeriods_, params.beatMyy, params.beatSigma, params.beatPriorExponent);
    beatSalience_.resize(N);
    for (unsigned i = 0; i < N; ++i)
        beatSalience_[i] = beatPrior[i] * resonance[i] / (1.0 - bias[i]);

    double beatyness = 0.0;
    for (unsigned i = 0; i < N; ++i) beatyness += beatSalience_[i] / N;

    const std::vector<double>& barPrior =
        barPrior_.over(lagPeriods_, params.barMyy, params.barSigma, params.barPriorExponent);
    barSalience_.resize(N);
    for (unsigned i = 0; i < N; ++i) barSalience_[i] = barPrior[i] * resonance[i] / (1.0 - bias[i]);
    return beatyness;
}

// The count highest peaks of a salience curve as (period, salience) pairs.
// Missing peaks repeat the previous candidate; with no peak at all every
// candidate is (0, 0).
void PeriodModel::pickCandidates(const std::vector<double>& salience,
                                 const std::vector<double>& periods, unsigned count,
                                 Candidates& out) {
    peakPickHeight(salience, count, peaks_);
    out.periods.resize(count);
    out.saliences.resize(count);
    for (unsigned c = 0; c < count; ++c) {
        const unsigned position = peaks_[c];
        if (position < salience.size()) {
            out.periods[c] = periods[position];
            out.saliences[c] = salience[position];
        } else if (c == 0) {
            out.periods[c] = 0.0;
            out.saliences[c] = 0.0;
        } else {
            out.periods[c] = out.periods[c - 1];
            out.saliences[c] = out.saliences[c - 1];
        }
    }
}

// Log likelihoods of the period ratios: bar given beat, beat given tatum.
void PeriodModel::computeRatioLikelihoods(const Params& params) {
    const unsigned C = numCandidates_;
    const double P = params.logFloor;
    barGivenBeat_.resize(C * C);
    beatGivenTatum_.resize(C * C);

    for (unsigned j = 0; j < C; ++j) {
        beatGivenTatum(bar_.periods, beat_.periods[j], params.ratioSigma, params.ratioWeights,
                       ratioLikelihood_);
        for (unsigned k = 0; k < C; ++k)
            barGivenBeat_[k * C + j] = std::log(ratioLikelihood_[k] + P);
    }
    for (unsigned l = 0; l < C; ++l) {
        beatGivenTatum(beat_.periods, tatum_.periods[l], params.ratioSigma, params.ratioWeights,
                       ratioLikelihood_);
        for (unsigned j = 0; j < C; ++j)
            beatGivenTatum_[j * C + l] = std::log(ratioLikelihood_[j] + P);
    }
}

// Log observation of every joint state: weighted candidate saliences plus the
// ratio likelihoods that tie the levels together.
void PeriodModel::computeJointObservation(const Params& params) {
    const unsigned C = numCandidates_;
    const double P = params.logFloor;
    const double tatumWeight = params.tatumObsWeight;
    const double barWeight = params.barObsWeight;
    const double beatWeight = params.beatObsWeight;
    observation_.resize(C * C * C);
    for (unsigned l = 0; l < C; ++l)
        for (unsigned k = 0; k < C; ++k)
            for (unsigned j = 0; j < C; ++j)
                observation_[j + C * k + C * C * l] =
                    tatumWeight * std::log(tatum_.saliences[l] + P) +
                    (barWeight * std::log(bar_.saliences[k] + P) +
                     beatWeight * std::log(beat_.saliences[j] + P)) +
                    barGivenBeat_[k * C + j] + beatGivenTatum_[j * C + l];
}

// One step of the online Viterbi recursion over the joint states. Row 0 of
// the scores keeps the previous step's scores, row 1 gets the new ones.
void PeriodModel::updateJointScores(unsigned stepIndex, const PeriodHistory& history,
                                    const Params& params,
                                    NumaMathLibrary::Matrix<double>& jointScores) {
    const unsigned C = numCandidates_;
    const unsigned states = C * C * C;
    const bool haveScores = jointScores.nRows() == 2 && jointScores.nCols() == states;

    if (stepIndex == 0 || !haveScores) {
        // First step: the recursion starts from the observation alone.
        if (!haveScores) jointScores.resize(2, states, 0.0);
        for (unsigned s = 0; s < states; ++s) {
            jointScores[0][s] = 0.0;
            jointScores[1][s] = observation_[s];
        }
        return;
    }

    // Transition log likelihoods of each level, from the previous to the
    // current candidate periods, position by position.
    NumaMathLibrary::Matrix<double>* trans[3] = {&beatTrans_, &barTrans_, &tatumTrans_};
    previousPeriods_.resize(C);
    currentPeriods_.resize(C);
    for (int level = kBeat; level <= kTatum; ++level) {
        for (unsigned c = 0; c < C; ++c) {
            previousPeriods_[c] = history[0][c][level];
            currentPeriods_[c] = history[1][c][level];
        }
        meterLogTransLikes(previousPeriods_, currentPeriods_, params.periodTransSigmas[level],
                           *trans[level]);
    }
    // Best predecessor of every state (the lowest one on ties; not-a-number
    // never wins) over the rows of buildJointTransitions, each computed as it
    // is compared instead of stored: per level, every transition row laid
    // out over the joint states (level value of state c), so that a row is
    // score + beat + bar + tatum, added in that order, element by element.
    const unsigned C2 = C * C;
    expandedTrans_.resize(3 * static_cast<std::size_t>(C) * states);
    double* beatRows = expandedTrans_.data();
    double* barRows = beatRows + static_cast<std::size_t>(C) * states;
    double* tatumRows = barRows + static_cast<std::size_t>(C) * states;
    for (unsigned from = 0; from < C; ++from)
        for (unsigned c = 0; c < states; ++c) {
            beatRows[from * states + c] = beatTrans_[from][c % C];
            barRows[from * states + c] = barTrans_[from][(c / C) % C];
            tatumRows[from * states + c] = tatumTrans_[from][c / C2];
        }
    bestPredecessor_.assign(states, -std::numeric_limits<double>::infinity());
    double* best = bestPredecessor_.data();
    const double* scores = jointScores[1];
    for (unsigned r = 0; r < states; ++r) {
        const double score = scores[r];
        const double* beat = beatRows + (r % C) * states;
        const double* bar = barRows + ((r / C) % C) * states;
        const double* tatum = tatumRows + (r / C2) * states;
        for (unsigned c = 0; c < states; ++c) {
            const double v = score + beat[c] + bar[c] + tatum[c];
            best[c] = v > best[c] ? v : best[c];
        }
    }
    double* previous = jointScores[0];
    double* current = jointScores[1];
    for (unsigned c = 0; c < states; ++c) {
        previous[c] = current[c];
        current[c] = bestPredecessor_[c] + observation_[c];
    }

    // Scores that are all minus infinity or not a number (left by steps whose
    // levels had no peak, as in silence) would never recover: every later
    // step would add to them. The recursion then restarts from this step's
    // observation, as after a reset.
    if (!anyFinite(current, states))
        for (unsigned c = 0; c < states; ++c) current[c] = observation_[c];
}

}  // namespace meterTracker
