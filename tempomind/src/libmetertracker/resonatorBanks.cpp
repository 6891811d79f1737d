#include "resonatorBanks.h"

#include <algorithm>
#include <cstring>

#include "precondition.h"
#include "vectorClones.h"

namespace meterTracker {

namespace {

constexpr unsigned L = ResonatorBanks::kLanes;
// Delay-line slots per partial sum of squares, as in Resonators.
constexpr unsigned kChunk = 32;
// Combs whose leaky energy chains run side by side, as in Resonators.
constexpr unsigned kBatch = 8;

enum Kind : unsigned char { kFeedback, kFeedForward, kLagProduct };

Kind kindFor(double gain) {
    if (gain == 0.0) return kLagProduct;
    if (gain == 1.0 || gain == -1.0) return kFeedForward;
    return kFeedback;
}

unsigned chunksFor(unsigned T) {
    return (T + kChunk - 1) / kChunk;
}

// Everything one group of kLanes channels needs for one block.
struct GroupBlock {
    const double* input;  // frames x L
    int frames;
    double* lines;  // the group's lines
    double* chunkSums;
    double* lineSums;
    double* energies;  // scratch, frames x kBatch x L; null: no comb energies
    double* combEnergy;  // numResonators x L, or null
    double* inputEnergy;  // L
    const unsigned* delays;
    const double* gains;
    const unsigned char* kinds;
    const std::size_t* lineStart;
    const std::size_t* chunkStart;
    unsigned* heads;
    unsigned count;
    double smoothing;
};

// One slot: the kLanes channels' values of one position, handled as one
// vector (two SSE2 registers or one AVX register); may alias doubles.
typedef double Slot __attribute__((vector_size(L * sizeof(double)), aligned(8), may_alias));

// One comb over the block: x and the line's slots are L wide; the ring's
// oldest slot is head, which moves on by n. With energies, q receives the
// comb's energy terms, sample k at q[k * kBatch * L].
template <Kind kind, bool energies>
inline __attribute__((always_inline)) void runComb(double g, double* line, unsigned T,
                                                   unsigned& head, const double* x, int n,
                                                   double* q) {
    static_assert(L == 4, "one Slot per slot");
    const double ig = 1.0 - g;
    const Slot gain = {g, g, g, g};
    const Slot inputGain = {ig, ig, ig, ig};
    unsigned pos = head;
    int k = 0;
    while (k < n) {
        const int run = std::min<int>(static_cast<int>(T - pos), n - k);
        Slot* __restrict slot = reinterpret_cast<Slot*>(line + static_cast<std::size_t>(pos) * L);
        const Slot* __restrict xs =
            reinterpret_cast<const Slot*>(x + static_cast<std::size_t>(k) * L);
        Slot* __restrict qs =
            energies ? reinterpret_cast<Slot*>(q + static_cast<std::size_t>(k) * kBatch * L)
                     : nullptr;
        for (int i = 0; i < run; ++i) {
            const Slot in = xs[i];
            Slot y;
            if (kind == kFeedback) {
                y = inputGain * in + slot[i];
                slot[i] = gain * y;
            } else if (kind == kFeedForward) {
                y = in + slot[i];
                slot[i] = gain * in;
            } else {
                y = in * slot[i];
                slot[i] = in;
            }
            if (energies) qs[static_cast<std::size_t>(i) * kBatch] = kind == kLagProduct ? y : y * y;
        }
        k += run;
        pos += run;
        if (pos == T) pos = 0;
    }
    head = pos;
}

// Sum of squares of chunk c of a line of T slots, per lane, with the four
// interleaved partial sums of Resonators.
inline __attribute__((always_inline)) void sumChunk(const double* line, unsigned T, unsigned c,
                                                    double* chunk) {
    const Slot* v = reinterpret_cast<const Slot*>(line + static_cast<std::size_t>(c) * kChunk * L);
    const unsigned length = std::min(T, (c + 1) * kChunk) - c * kChunk;
    Slot s0 = {}, s1 = {}, s2 = {}, s3 = {};
    unsigned i = 0;
    for (; i + 4 <= length; i += 4) {
        s0 += v[i] * v[i];
        s1 += v[i + 1] * v[i + 1];
        s2 += v[i + 2] * v[i + 2];
        s3 += v[i + 3] * v[i + 3];
    }
    for (; i < length; ++i) s0 += v[i] * v[i];
    *reinterpret_cast<Slot*>(chunk) = (s0 + s1) + (s2 + s3);
}

// Resonators::updateLineSum: the chunks holding the count slots rewritten
// from firstSlot on are summed afresh, then the line's total from its chunks.
// nextSlot is the ring position after them, (firstSlot + count) mod T.
inline __attribute__((always_inline)) void updateLineSum(const double* line, unsigned T,
                                                         unsigned firstSlot, int count,
                                                         unsigned nextSlot, double* chunks,
                                                         double* total) {
    if (count <= 0) return;
    const unsigned lineChunks = chunksFor(T);
    const unsigned lastSlot = (nextSlot == 0 ? T : nextSlot) - 1;
    const unsigned first = firstSlot / kChunk;
    const unsigned last = lastSlot / kChunk;
    if (static_cast<unsigned>(count) >= T || (lastSlot < firstSlot && first == last)) {
        for (unsigned c = 0; c < lineChunks; ++c) sumChunk(line, T, c, chunks + c * L);
    } else {
        for (unsigned c = first;; c = c + 1 == lineChunks ? 0 : c + 1) {
            sumChunk(line, T, c, chunks + c * L);
            if (c == last) break;
        }
    }
    double sum[L] = {};
    for (unsigned c = 0; c < lineChunks; ++c)
        for (unsigned l = 0; l < L; ++l) sum[l] += chunks[c * L + l];
    for (unsigned l = 0; l < L; ++l) total[l] = sum[l];
}

template <bool energies>
inline __attribute__((always_inline)) void runCombOfKind(const GroupBlock& b, unsigned j,
                                                         double* q) {
    double* line = b.lines + b.lineStart[j] * L;
    const unsigned T = b.delays[j];
    switch (static_cast<Kind>(b.kinds[j])) {
        case kFeedback:
            runComb<kFeedback, energies>(b.gains[j], line, T, b.heads[j], b.input, b.frames, q);
            break;
        case kFeedForward:
            runComb<kFeedForward, energies>(b.gains[j], line, T, b.heads[j], b.input, b.frames, q);
            break;
        case kLagProduct:
            runComb<kLagProduct, energies>(b.gains[j], line, T, b.heads[j], b.input, b.frames, q);
            break;
    }
}

template <bool energies>
inline __attribute__((always_inline)) void runGroupBlock(const GroupBlock& b) {
    const int n = b.frames;
    for (unsigned first = 0; first < b.count; first += kBatch) {
        const unsigned members = std::min(kBatch, b.count - first);
        for (unsigned m = 0; m < members; ++m) {
            const unsigned j = first + m;
            const unsigned firstSlot = b.heads[j];
            runCombOfKind<energies>(b, j, energies ? b.energies + m * L : nullptr);
            updateLineSum(b.lines + b.lineStart[j] * L, b.delays[j], firstSlot, n, b.heads[j],
                          b.chunkSums + b.chunkStart[j] * L, b.lineSums + j * L);
        }
        if (energies) {
            // r[0] = q[0], r[k] = p r[k - 1] + q[k] for every comb of the
            // batch; the spare combs of a short last batch run on stale
            // values and are dropped.
            const double p = b.smoothing;
            double r[kBatch * L];
            for (unsigned i = 0; i < kBatch * L; ++i) r[i] = b.energies[i];
            for (int k = 1; k < n; ++k) {
                const double* q = b.energies + static_cast<std::size_t>(k) * kBatch * L;
                for (unsigned i = 0; i < kBatch * L; ++i) r[i] = p * r[i] + q[i];
            }
            std::copy(r, r + members * L, b.combEnergy + first * L);
        }
    }
    // The input energy, integrated the same way.
    double r[L];
    for (unsigned l = 0; l < L; ++l) r[l] = b.input[l] * b.input[l];
    for (int k = 1; k < n; ++k)
        for (unsigned l = 0; l < L; ++l)
            r[l] = b.smoothing * r[l] + b.input[k * L + l] * b.input[k * L + l];
    for (unsigned l = 0; l < L; ++l) b.inputEnergy[l] = r[l];
}

METERTRACKER_VECTOR_CLONES
void runGroup(const GroupBlock& b) {
    if (b.energies != nullptr)
        runGroupBlock<true>(b);
    else
        runGroupBlock<false>(b);
}

// Zeroed storage for count doubles, aligned to a cache line.
double* allocateLines(std::size_t count) {
    const std::size_t bytes = ((std::max<std::size_t>(count, 1) * sizeof(double) + 63) / 64) * 64;
    void* p = std::aligned_alloc(64, bytes);
    TM_PRECONDITION(p != nullptr, "delay lines allocated");
    std::memset(p, 0, bytes);
    return static_cast<double*>(p);
}

}  // namespace

ResonatorBanks::ResonatorBanks(unsigned channels, const std::vector<unsigned>& delays,
                               const std::vector<double>& gains, double smoothing)
    : channels_(channels),
      groups_((channels + kLanes - 1) / kLanes),
      numResonators_(static_cast<unsigned>(delays.size())),
      longestDelay_(delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end())),
      smoothing_(smoothing),
      delays_(delays),
      gains_(gains),
      totalSlots_(0),
      totalChunks_(0) {
    TM_PRECONDITION(channels > 0, "at least one channel");
    TM_PRECONDITION(gains.size() == delays.size(), "one gain per delay");
    TM_PRECONDITION(smoothing > 0.0 && smoothing < 1.0, "smoothing in (0, 1)");
    for (unsigned d : delays) TM_PRECONDITION(d >= 1, "delays of at least 1");

    kinds_.resize(numResonators_);
    lineStart_.resize(numResonators_);
    chunkStart_.resize(numResonators_);
    for (unsigned j = 0; j < numResonators_; ++j) {
        kinds_[j] = kindFor(gains_[j]);
        lineStart_[j] = totalSlots_;
        chunkStart_[j] = totalChunks_;
        totalSlots_ += delays_[j];
        totalChunks_ += chunksFor(delays_[j]);
    }
    lines_.reset(allocateLines(groups_ * totalSlots_ * kLanes));
    heads_.assign(numResonators_, 0u);
    chunkSums_.assign(groups_ * totalChunks_ * kLanes, 0.0);
    lineSums_.assign(static_cast<std::size_t>(groups_) * numResonators_ * kLanes, 0.0);
    rotation_.resize(static_cast<std::size_t>(longestDelay_) * kLanes);
    groupHeads_.resize(numResonators_);
    groupCombEnergy_.resize(static_cast<std::size_t>(numResonators_) * kLanes);

    // Fresh large blocks from calloc are the kernel's zero pages: the rows of
    // combs that are never aligned cost no memory.
    const std::size_t orderedCount =
        static_cast<std::size_t>(channels_) * numResonators_ * longestDelay_;
    ordered_.reset(static_cast<double*>(std::calloc(std::max<std::size_t>(orderedCount, 1),
                                                    sizeof(double))));
    TM_PRECONDITION(ordered_ != nullptr, "ordered lines allocated");
    orderedRowUsed_.assign(numResonators_, 0);
    for (unsigned c = 0; c < channels_; ++c)
        orderedLinePointers_.push_back(ordered_.get() + static_cast<std::size_t>(c) *
                                                            numResonators_ * longestDelay_);
}

void ResonatorBanks::process(const double* input, unsigned frames, unsigned inputStride,
                             double* inputEnergy, double* combEnergy) {
    const std::size_t n = frames;
    if (frames == 0) {
        // No input: no energy, and the lines stay as they are.
        std::fill_n(inputEnergy, channels_, 0.0);
        if (combEnergy != nullptr)
            std::fill_n(combEnergy, static_cast<std::size_t>(numResonators_) * channels_, 0.0);
        return;
    }
    if (laneInput_.size() < n * kLanes) laneInput_.resize(n * kLanes);
    if (combEnergy != nullptr && energies_.size() < n * kBatch * kLanes)
        energies_.resize(n * kBatch * kLanes, 0.0);
    // With exactly kLanes channels the caller's layout of the comb energies
    // is the lanes' own.
    const bool energiesInPlace = groups_ == 1 && channels_ == kLanes;
    double groupInputEnergy[kLanes];
    for (unsigned g = 0; g < groups_; ++g) {
        for (std::size_t k = 0; k < n; ++k)
            for (unsigned l = 0; l < kLanes; ++l) {
                const unsigned c = g * kLanes + l;
                laneInput_[k * kLanes + l] = c < channels_ ? input[k * inputStride + c] : 0.0;
            }
        GroupBlock b;
        b.input = laneInput_.data();
        b.frames = static_cast<int>(frames);
        b.lines = lines_.get() + g * totalSlots_ * kLanes;
        b.chunkSums = chunkSums_.data() + g * totalChunks_ * kLanes;
        b.lineSums = lineSums_.data() + static_cast<std::size_t>(g) * numResonators_ * kLanes;
        b.energies = combEnergy != nullptr ? energies_.data() : nullptr;
        b.combEnergy = combEnergy == nullptr ? nullptr
                       : energiesInPlace     ? combEnergy
                                             : groupCombEnergy_.data();
        b.inputEnergy = groupInputEnergy;
        b.delays = delays_.data();
        b.gains = gains_.data();
        b.kinds = kinds_.data();
        b.lineStart = lineStart_.data();
        b.chunkStart = chunkStart_.data();
        // Every group moves the shared ring positions on by the same amount:
        // all but the last work on a copy, the last moves the real ones.
        if (g + 1 < groups_) {
            groupHeads_ = heads_;
            b.heads = groupHeads_.data();
        } else {
            b.heads = heads_.data();
        }
        b.count = numResonators_;
        b.smoothing = smoothing_;
        runGroup(b);
        for (unsigned l = 0; l < kLanes && g * kLanes + l < channels_; ++l) {
            const unsigned c = g * kLanes + l;
            inputEnergy[c] = groupInputEnergy[l];
            if (combEnergy != nullptr && !energiesInPlace)
                for (unsigned j = 0; j < numResonators_; ++j)
                    combEnergy[static_cast<std::size_t>(j) * channels_ + c] =
                        groupCombEnergy_[static_cast<std::size_t>(j) * kLanes + l];
        }
    }
}

void ResonatorBanks::lineSumsOfSquares(unsigned channel, double* out) const {
    const double* sums =
        lineSums_.data() + static_cast<std::size_t>(channel / kLanes) * numResonators_ * kLanes +
        channel % kLanes;
    for (unsigned j = 0; j < numResonators_; ++j) out[j] = sums[static_cast<std::size_t>(j) * kLanes];
}

void ResonatorBanks::alignLine(unsigned j) {
    if (j >= numResonators_) return;
    const unsigned T = delays_[j];
    const unsigned head = heads_[j];
    for (unsigned g = 0; g < groups_; ++g) {
        double* line = lines_.get() + (g * totalSlots_ + lineStart_[j]) * kLanes;
        if (head != 0) {
            // new slot m = old slot (m + head) mod T, and the sums afresh over
            // the rotated line, as Resonators::alignLine.
            const std::size_t shifted = static_cast<std::size_t>(head) * kLanes;
            const std::size_t rest = static_cast<std::size_t>(T - head) * kLanes;
            std::memcpy(rotation_.data(), line, shifted * sizeof(double));
            std::memmove(line, line + shifted, rest * sizeof(double));
            std::memcpy(line + rest, rotation_.data(), shifted * sizeof(double));
            double* chunks = chunkSums_.data() + (g * totalChunks_ + chunkStart_[j]) * kLanes;
            double* total =
                lineSums_.data() + (static_cast<std::size_t>(g) * numResonators_ + j) * kLanes;
            updateLineSum(line, T, 0, static_cast<int>(T), 0, chunks, total);
        }
        for (unsigned l = 0; l < kLanes && g * kLanes + l < channels_; ++l) {
            double* row = ordered_.get() +
                          (static_cast<std::size_t>(g * kLanes + l) * numResonators_ + j) *
                              longestDelay_;
            for (unsigned p = 0; p < T; ++p) row[p] = line[static_cast<std::size_t>(p) * kLanes + l];
        }
    }
    heads_[j] = 0;
    orderedRowUsed_[j] = 1;
}

void ResonatorBanks::reset() {
    std::memset(lines_.get(), 0, groups_ * totalSlots_ * kLanes * sizeof(double));
    std::fill(heads_.begin(), heads_.end(), 0u);
    std::fill(chunkSums_.begin(), chunkSums_.end(), 0.0);
    std::fill(lineSums_.begin(), lineSums_.end(), 0.0);
    for (unsigned j = 0; j < numResonators_; ++j) {
        if (!orderedRowUsed_[j]) continue;
        for (unsigned c = 0; c < channels_; ++c)
            std::fill_n(ordered_.get() + (static_cast<std::size_t>(c) * numResonators_ + j) *
                                             longestDelay_,
                        longestDelay_, 0.0);
        orderedRowUsed_[j] = 0;
    }
}

}  // namespace meterTracker
