// The tracker's resonator banks, one per accent channel, run side by side.
// Every channel's bank has the same combs (delays and gains), so the banks
// share one set of delay lines whose slots hold the channels next to each
// other, four to a slot: one vector operation then runs a comb over four
// channels. Per channel the values are exactly those of a Resonators bank
// with the same combs, smoothing in (0, 1) and hop 0 (the tracker's
// settings): the same operations in the same order, only stored otherwise.
//
// Lifecycle: construct (allocates everything) -> process / alignLine per
// step -> reset to start again. Only a block longer than any before, or the
// first asking for comb energies, allocates. No locking: the owner
// serialises every call.
#ifndef METERTRACKER_RESONATORBANKS_H
#define METERTRACKER_RESONATORBANKS_H

#include <cstdlib>
#include <memory>
#include <vector>

namespace meterTracker {

class ResonatorBanks {
  public:
    // channels banks of the combs delays[j] (each at least 1) with gains[j]
    // (0 a lag product, 1 or -1 feed-forward, anything else feedback, as in
    // Resonators). smoothing in (0, 1): each call's energies are leaky
    // integrals restarted at the call, one value per call.
    ResonatorBanks(unsigned channels, const std::vector<unsigned>& delays,
                   const std::vector<double>& gains, double smoothing);
    ResonatorBanks(const ResonatorBanks&) = delete;
    ResonatorBanks& operator=(const ResonatorBanks&) = delete;

    unsigned numChannels() const { return channels_; }
    unsigned numResonators() const { return numResonators_; }
    unsigned longestDelay() const { return longestDelay_; }

    // Runs every comb of every channel over one block of frames samples:
    // channel c's sample k is input[k * inputStride + c]. inputEnergy (one
    // value per channel) gets each channel's input energy, Resonators::
    // process's inputEnergy[0]. combEnergy, unless null, gets comb j's output
    // energy in channel c at [j * channels + c], Resonators::process's
    // out[0][j]; without it the combs' energies are not computed at all.
    void process(const double* input, unsigned frames, unsigned inputStride, double* inputEnergy,
                 double* combEnergy);

    // Sum of squares of the values in channel c's line of comb j, kept up to
    // date by process (Resonators::getLineSumsOfSquares()[j]).
    double lineSumOfSquares(unsigned channel, unsigned j) const {
        return lineSums_[(static_cast<std::size_t>(channel / kLanes) * numResonators_ + j) * kLanes +
                         channel % kLanes];
    }

    // The same for every comb of channel c at once: out[j], j < numResonators().
    void lineSumsOfSquares(unsigned channel, double* out) const;

    // Puts comb j's line in every channel, oldest first, into row j of
    // orderedLines() (and rotates the ring as Resonators::alignLine does, so
    // that the sums of squares stay those of a Resonators bank).
    void alignLine(unsigned j);

    // Per channel, numResonators() rows of longestDelay() values: row j
    // holds comb j's line oldest first in its first delays[j] entries, as
    // of the last alignLine(j) since construction or reset (zeros before).
    // The layout of Resonators::getState(), which the phase stage reads.
    // The pointers stay valid for the banks' life.
    const std::vector<const double*>& orderedLines() const { return orderedLinePointers_; }

    // Zeroes every delay line and every ordered row.
    void reset();

    // Channels per slot, and so per vector operation.
    static constexpr unsigned kLanes = 4;

  private:
    struct Free {
        void operator()(double* p) const { std::free(p); }
    };
    using Doubles = std::unique_ptr<double[], Free>;

    unsigned channels_;
    unsigned groups_;  // slots of kLanes channels per comb position
    unsigned numResonators_;
    unsigned longestDelay_;
    double smoothing_;
    std::vector<unsigned> delays_;
    std::vector<double> gains_;
    std::vector<unsigned char> kinds_;

    // Group g's lines: comb j's slot s at lines_ + ((g * totalSlots_ +
    // lineStart_[j] + s) * kLanes), a ring whose oldest slot is heads_[j].
    std::vector<std::size_t> lineStart_;
    std::size_t totalSlots_;
    Doubles lines_;
    std::vector<unsigned> heads_;
    // Partial sums of squares per chunk of slots and per line, kLanes wide.
    std::vector<std::size_t> chunkStart_;
    std::size_t totalChunks_;
    std::vector<double> chunkSums_;
    std::vector<double> lineSums_;

    std::vector<double> laneInput_;      // frames x kLanes, one group's input
    std::vector<double> energies_;       // frames x combs of a batch x kLanes
    std::vector<double> rotation_;       // one line's slots, for rotating a ring
    std::vector<unsigned> groupHeads_;   // ring positions for all groups but the last
    std::vector<double> groupCombEnergy_;  // numResonators x kLanes, one group's
    Doubles ordered_;                    // channels x numResonators x longestDelay
    std::vector<unsigned char> orderedRowUsed_;
    std::vector<const double*> orderedLinePointers_;
};

}  // namespace meterTracker

#endif
