// Bank of comb-filter resonators, one per candidate period, all fed with the
// same accent signal. Each comb keeps a delay line of its own length; the
// bank reports a smoothed energy of every comb's output and of the input, and
// exposes the delay lines so that the tracker can read each comb's recent
// output over one period.
#ifndef METERTRACKER_RESOC_H
#define METERTRACKER_RESOC_H

#include <vector>

#include "Matrix.h"

namespace meterTracker {

class Resonators {
  public:
    // gains[j] selects comb j's kind: 0 lag product, 1 or -1 feed-forward,
    // anything else feedback. smoothing selects the energy smoothing: above 1
    // a sliding sum over floor(smoothing) samples, 1 the instantaneous energy,
    // in (0, 1) a leaky integral restarted at every call, at or below 0 the
    // raw comb outputs. hop below 1 gives one output frame per call.
    Resonators(const std::vector<unsigned int>& delays, const std::vector<double>& gains,
               const double& smoothing, const int& hop);
    virtual ~Resonators() = default;

    // Runs every comb over one block. For smoothing > 0: inputEnergy gets one
    // value per output frame and out becomes frames x resonators. For
    // smoothing <= 0: out becomes input.size() x resonators of raw outputs and
    // inputEnergy is left alone.
    void process(const std::vector<double>& input, std::vector<double>& inputEnergy,
                 NumaMathLibrary::Matrix<double>& out);

    // The computation behind process on plain arrays. out holds frames rows
    // (length rows when smoothing <= 0) of count values; state is count rows
    // of longestDelay values. Mode 0 is the only mode; any other mode leaves
    // every array untouched.
    void realResonators(double* out, double* state, double* inputEnergy, double* delays,
                        double* gains, int count, int longestDelay, double* input, int length,
                        double smoothing, int hop, int frames, int mode);

    // Zeroes every delay line.
    void reset();

    // The delay lines, row-major, one row of getLongestDelay() values per
    // comb; row j holds comb j's line, oldest first, in its first delays[j]
    // entries.
    const double* getState() const;

    // Copies the delay lines into out (resonators x longest delay): for every
    // row i and column k >= i, out[i][k] = getState()[i + k * resonators].
    // With delays 1 .. N column k is comb k's line; the elements below the
    // diagonal keep what out held (zero when out had to be reshaped).
    void getState(NumaMathLibrary::Matrix<double>& out) const;

    unsigned getNumResonators() const { return numResonators_; }
    unsigned getLongestDelay() const { return longestDelay_; }

    // Output frames for a block of inputLength samples at these settings.
    static int outputFrames(int inputLength, int hop, double smoothing);

  private:
    unsigned numResonators_;
    unsigned longestDelay_;
    std::vector<unsigned> delays_;
    std::vector<double> gains_;
    double smoothing_;
    int hop_;
    std::vector<double> state_;  // numResonators_ x longestDelay_, row-major

    std::vector<double> delaysAsDouble_;  // delays_ in realResonators' form
    std::vector<double> scratch_;         // one comb's outputs (and energies) over a block
    std::vector<double> lineScratch_;     // one delay line, for realigning a ring
};

}  // namespace meterTracker

#endif
