// A causal model of where each beat lies in its bar, and of the beats per bar.
//
// Hypotheses h = (M, r): bars of M beats whose first beats are the beats with
// index i = r (mod M), for every candidate M (default 2, 3, 4, 5, 7) and
// r = 0 .. M - 1. Each hypothesis carries a score, a leaky sum of the
// log-likelihood ratio "downbeat against other beat" of the evidence at the
// beats it calls downbeats:
//   every beat i:  S_h <- lambda S_h + [i = r mod M] (w_A . z_A(i) - bias)
//                             + [i - 1 = r mod M] (w_B . z_B(i - 1))
// z_A = (low onset, high onset, chroma change, bass change) and z_B = (chroma
// and bass change over two beats either side, known one beat later), each
// standardised by its running mean and deviation over about 32 beats. With
// unit-length weights w = (w_A, w_B) the combined evidence has unit spread
// (counted from the fifth audible beat on, once the statistics mean something),
// and
// for a downbeat shift of about one standard deviation the Gaussian
// log-likelihood ratio is z - 1/2: hence bias = 0.5. The low onset, chroma and
// chord changes speak for a bar start; the high (snare, cymbal) onset against
// it, the backbeat. A bar-start cue from another model (the tracker's own bar
// phase, say), when one is handed in, adds w_cue z_cue at the beat, with
// w_cue = 0.5 / 2.0 (its weight against the six, all normalised together)
// and the six scaled alike. lambda = 0.95 per beat (a memory of about
// 20 beats, five bars of 4) is the leaky sum of a bar-pointer chain that may jump to another
// hypothesis at any beat.
// Meter evidence: the beats' rhythm patterns (see BarEvidence), centred by
// their running mean, repeat with the bar: per beat the cosine similarity s_L
// of the pattern with the one L = 1 .. 8 beats before, and
//   P_M <- 0.95 P_M + (s_M - mean_L s_L).
// The choice maximises S_h + log prior(M) + 0.5 P_M; log priors 4: 0,
// 3: -0.3, 2: -0.5, 5 and 7: -1.5, so 4 is taken when the evidence does not
// tell. The choice moves to another hypothesis only when it leads by 1.0
// (hysteresis, so that bars do not flicker). An inaudible beat adds no
// evidence and forgets nothing: the bar count runs on through silence.
//
// No allocation after construction; no locking.
#ifndef METERTRACKER_BARPOSITIONMODEL_H
#define METERTRACKER_BARPOSITIONMODEL_H

#include "barEvidence.h"

namespace meterTracker {

class BarPositionModel {
  public:
    static constexpr int kMaxMeters = 7;  // beats per bar 2 .. 8
    static constexpr int kMaxBeatsPerBar = 8;
    static constexpr int kMaxLag = 8;

    struct Options {
        // Candidate beats per bar (2 .. 8) and their log priors; count used.
        int meterCount = 5;
        int meters[kMaxMeters] = {2, 3, 4, 5, 7};
        double logPriors[kMaxMeters] = {-0.5, -0.3, 0.0, -1.5, -1.5};
        // Evidence weights (normalised to unit length together).
        double lowOnsetWeight = 1.0;
        double highOnsetWeight = -0.5;
        double chromaChangeWeight = 1.0;
        double bassChangeWeight = 0.5;
        double chromaChange2Weight = 1.0;
        double bassChange2Weight = 0.5;
        // Weight of a bar-start cue from another model, when there is one,
        // relative to the six above (their total length is 1.94).
        double barCueWeight = 0.5;
        double bias = 0.5;
        double forgetting = 0.95;  // per beat
        double hysteresis = 1.0;
        double normalisationBeats = 32.0;
        long warmUpBeats = 4;  // audible beats standardised before evidence counts
        double periodicityWeight = 0.5;
        double periodicityForgetting = 0.95;
        double patternMeanForgetting = 0.97;
    };

    BarPositionModel();
    explicit BarPositionModel(const Options& options);

    void reset();

    // The evidence of the next beat (beats in order, index 0 first); returns
    // that beat's position in its bar, 1 = first beat.
    int addBeat(const BeatEvidence& evidence);

    // Under the current choice: beats per bar and the position of beat index i
    // (any index, also of beats not seen yet).
    int beatsPerBar() const { return hypotheses_[choice_].meter; }
    int position(long index) const;
    long beatsSeen() const { return beats_; }
    // Score margin of the current choice over the best hypothesis with a
    // different bar start or meter (0 when another one is level).
    double margin() const;

  private:
    struct Hypothesis {
        int meter;
        int offset;  // r
        int meterSlot;
        double score;
    };
    struct Normaliser {
        double mean[4];
        double variance[4];
        long count;
        void reset();
        void standardise(const double* x, double* z, int n, double tau);
    };

    double total(int h) const;

    Options options_;
    Hypothesis hypotheses_[35];
    int hypothesisCount_ = 0;
    double weightsA_[4];
    double weightsB_[2];
    double cueWeight_;
    double cueScale_;
    double periodicity_[kMaxMeters];
    Normaliser normA_, normB_, normCue_;
    double patternMean_[BeatEvidence::kRhythmSize];
    bool havePatternMean_ = false;
    // Centred patterns of the last kMaxLag + 1 beats, ring by beat index.
    double patterns_[kMaxLag + 1][BeatEvidence::kRhythmSize];
    long beats_ = 0;
    int choice_ = 0;
};

}  // namespace meterTracker

#endif
