#include "barPositionModel.h"

#include <algorithm>
#include <cmath>

#include "precondition.h"

namespace meterTracker {

namespace {

const double kVarianceFloor = 1e-6;

double cosine(const double* a, const double* b, int n) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int i = 0; i < n; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    return ab / (std::sqrt(aa) * std::sqrt(bb) + 1e-9);
}

long positiveModulo(long a, long m) {
    return ((a % m) + m) % m;
}

}  // namespace

void BarPositionModel::Normaliser::reset() {
    std::fill(mean, mean + 4, 0.0);
    std::fill(variance, variance + 4, 0.0);
    count = 0;
}

void BarPositionModel::Normaliser::standardise(const double* x, double* z, int n, double tau) {
    ++count;
    const double a = std::max(1.0 / tau, 1.0 / count);
    for (int i = 0; i < n; ++i) {
        const double d = x[i] - mean[i];
        mean[i] += a * d;
        variance[i] = (1.0 - a) * (variance[i] + a * d * d);
        z[i] = (x[i] - mean[i]) / std::sqrt(variance[i] + kVarianceFloor);
    }
}

BarPositionModel::BarPositionModel() : BarPositionModel(Options()) {}

BarPositionModel::BarPositionModel(const Options& options) : options_(options) {
    TM_PRECONDITION(options.meterCount >= 1 && options.meterCount <= kMaxMeters,
                    "between 1 and 7 candidate meters");
    for (int m = 0; m < options.meterCount; ++m) {
        const int M = options.meters[m];
        TM_PRECONDITION(M >= 2 && M <= kMaxBeatsPerBar, "beats per bar from 2 to 8");
        for (int n = 0; n < m; ++n)
            TM_PRECONDITION(options.meters[n] != M, "each candidate meter once");
        for (int r = 0; r < M; ++r) hypotheses_[hypothesisCount_++] = {M, r, m, 0.0};
    }
    const double a[4] = {options.lowOnsetWeight, options.highOnsetWeight,
                         options.chromaChangeWeight, options.bassChangeWeight};
    const double b[2] = {options.chromaChange2Weight, options.bassChange2Weight};
    double norm = 0.0;
    for (double w : a) norm += w * w;
    for (double w : b) norm += w * w;
    norm = norm > 0.0 ? std::sqrt(norm) : 1.0;
    for (int i = 0; i < 4; ++i) weightsA_[i] = a[i] / norm;
    for (int i = 0; i < 2; ++i) weightsB_[i] = b[i] / norm;
    // With a cue, the seven weights together have unit length: the cue's
    // share, and the factor that leaves the six as they are without one.
    const double withCue = std::sqrt(norm * norm + options.barCueWeight * options.barCueWeight);
    cueWeight_ = options.barCueWeight / withCue;
    cueScale_ = norm / withCue;
    reset();
}

void BarPositionModel::reset() {
    for (int h = 0; h < hypothesisCount_; ++h) hypotheses_[h].score = 0.0;
    std::fill(periodicity_, periodicity_ + kMaxMeters, 0.0);
    normA_.reset();
    normB_.reset();
    normCue_.reset();
    std::fill(patternMean_, patternMean_ + BeatEvidence::kRhythmSize, 0.0);
    havePatternMean_ = false;
    for (auto& p : patterns_) std::fill(p, p + BeatEvidence::kRhythmSize, 0.0);
    beats_ = 0;
    choice_ = 0;
    for (int h = 1; h < hypothesisCount_; ++h)
        if (total(h) > total(choice_)) choice_ = h;
}

double BarPositionModel::total(int h) const {
    const Hypothesis& x = hypotheses_[h];
    return x.score + options_.logPriors[x.meterSlot] +
           options_.periodicityWeight * periodicity_[x.meterSlot];
}

int BarPositionModel::position(long index) const {
    const Hypothesis& x = hypotheses_[choice_];
    return int(positiveModulo(index - x.offset, x.meter)) + 1;
}

double BarPositionModel::margin() const {
    double best = -1e300;
    for (int h = 0; h < hypothesisCount_; ++h)
        if (h != choice_) best = std::max(best, total(h));
    return hypothesisCount_ > 1 ? std::max(0.0, total(choice_) - best) : 0.0;
}

int BarPositionModel::addBeat(const BeatEvidence& e) {
    const long i = beats_;
    double* pattern = patterns_[i % (kMaxLag + 1)];
    if (e.audible) {
        const double x[4] = {e.lowOnset, e.highOnset, e.chromaChange, e.bassChange};
        double z[4];
        normA_.standardise(x, z, 4, options_.normalisationBeats);
        const double scale = e.barCueKnown ? cueScale_ : 1.0;
        double llr = 0.0;
        for (int k = 0; k < 4; ++k) llr += weightsA_[k] * z[k];
        if (e.barCueKnown) {
            double zc;
            normCue_.standardise(&e.barCue, &zc, 1, options_.normalisationBeats);
            llr = scale * llr + cueWeight_ * zc;
        }
        llr -= options_.bias;
        double previous = 0.0;
        if (e.hasPrevious) {
            const double y[2] = {e.previousChromaChange2, e.previousBassChange2};
            double zb[2];
            normB_.standardise(y, zb, 2, options_.normalisationBeats);
            previous = scale * (weightsB_[0] * zb[0] + weightsB_[1] * zb[1]);
        }
        // Standardised values mean nothing until the running statistics have
        // seen a few beats: no evidence from the first ones.
        const bool calibrated = normA_.count > options_.warmUpBeats;
        if (!calibrated) llr = 0.0;
        if (normB_.count <= options_.warmUpBeats) previous = 0.0;
        for (int h = 0; h < hypothesisCount_; ++h) {
            Hypothesis& x = hypotheses_[h];
            x.score *= options_.forgetting;
            if (positiveModulo(i - x.offset, x.meter) == 0) x.score += llr;
            if (e.hasPrevious && positiveModulo(i - 1 - x.offset, x.meter) == 0)
                x.score += previous;
        }

        // The beat's rhythm pattern, unit length, less the running mean.
        double v[BeatEvidence::kRhythmSize];
        double length = 0.0;
        for (int k = 0; k < BeatEvidence::kRhythmSize; ++k) length += e.rhythm[k] * e.rhythm[k];
        length = std::sqrt(length) + 1e-9;
        for (int k = 0; k < BeatEvidence::kRhythmSize; ++k) v[k] = e.rhythm[k] / length;
        const double f = options_.patternMeanForgetting;
        for (int k = 0; k < BeatEvidence::kRhythmSize; ++k) {
            patternMean_[k] = havePatternMean_ ? f * patternMean_[k] + (1.0 - f) * v[k] : v[k];
            pattern[k] = v[k] - patternMean_[k];
        }
        havePatternMean_ = true;
        if (i >= kMaxLag) {
            double s[kMaxLag + 1];
            double mean = 0.0;
            for (int L = 1; L <= kMaxLag; ++L) {
                s[L] =
                    cosine(pattern, patterns_[(i - L) % (kMaxLag + 1)], BeatEvidence::kRhythmSize);
                mean += s[L];
            }
            mean /= kMaxLag;
            for (int m = 0; m < options_.meterCount; ++m)
                periodicity_[m] = options_.periodicityForgetting * periodicity_[m] +
                                  (s[options_.meters[m]] - mean);
        }
    } else {
        std::fill(pattern, pattern + BeatEvidence::kRhythmSize, 0.0);
    }

    int best = 0;
    for (int h = 1; h < hypothesisCount_; ++h)
        if (total(h) > total(best)) best = h;
    if (i == 0 || total(best) > total(choice_) + options_.hysteresis) choice_ = best;
    ++beats_;
    return position(i);
}

}  // namespace meterTracker
