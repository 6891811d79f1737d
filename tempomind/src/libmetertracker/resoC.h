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

    // The same storage as getState(), but each line may be rotated: row j
    // holds comb j's delays[j] values in its first entries, starting anywhere.
    // Enough for readers that do not care about order (sums of squares), and
    // free: the combs keep their lines as rings and rotate them only when a
    // reader needs the order. The pointer stays valid for the bank's life.
    const double* getLines() const { return state_.data(); }

    // Per comb, the sum of squares of the values in its delay line, kept up
    // to date by process (not by realResonators on outside arrays).
    const std::vector<double>& getLineSumsOfSquares() const { return lineSums_; }

    // Rotates comb j's line (or every line) so that getLines() holds it
    // oldest first.
    void alignLine(unsigned j) const;
    void alignLines() const;

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
    // realResonators with a ring position per line (heads, count values):
    // line j's oldest value is at heads[j] on entry and on exit. ownLines:
    // these are the bank's own lines, whose sums of squares it keeps.
    void runBank(double* out, double* state, unsigned* heads, double* inputEnergy,
                 const double* delays, const double* gains, int count, int longestDelay,
                 const double* input, int length, double smoothing, int hop, int frames,
                 bool ownLines);
    void updateLineSum(unsigned j, unsigned firstSlot, int count) const;

    unsigned numResonators_;
    unsigned longestDelay_;
    std::vector<unsigned> delays_;
    std::vector<double> gains_;
    double smoothing_;
    int hop_;
    // numResonators_ x longestDelay_, row-major; line j is a ring whose
    // oldest value is at heads_[j]. Rotating a line to put it in order
    // changes no value, so the const readers may do it.
    mutable std::vector<double> state_;
    mutable std::vector<unsigned> heads_;
    // Sums of squares of each line, per chunk of slots and in total.
    unsigned chunksPerLine_;
    mutable std::vector<double> chunkSums_;
    mutable std::vector<double> lineSums_;

    std::vector<double> delaysAsDouble_;  // delays_ in realResonators' form
    std::vector<double> scratch_;         // one comb's outputs (and energies) over a block
    mutable std::vector<double> lineScratch_;  // one delay line, for rotating a ring
};

}  // namespace meterTracker

#endif
