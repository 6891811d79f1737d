#include "resoC.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace meterTracker {

namespace {

// Combs whose leaky energy chains run side by side.
constexpr int kGroup = 8;

// Delay-line slots per partial sum of squares (four cache lines).
constexpr unsigned kChunk = 32;

unsigned chunksFor(unsigned T) {
    return (T + kChunk - 1) / kChunk;
}

enum class CombKind { Feedback, FeedForward, LagProduct };

CombKind combKindFor(double gain) {
    if (gain == 0.0) return CombKind::LagProduct;
    if (gain == 1.0 || gain == -1.0) return CombKind::FeedForward;
    return CombKind::Feedback;
}

// new line[m] = old line[(m + shift) mod T] for 0 <= shift < T, through tmp
// (at least shift values): two block copies and one block move.
void realign(double* line, unsigned T, unsigned shift, double* tmp) {
    if (shift == 0 || shift >= T) return;
    std::memcpy(tmp, line, shift * sizeof(double));
    std::memmove(line, line + shift, (T - shift) * sizeof(double));
    std::memcpy(line + (T - shift), tmp, shift * sizeof(double));
}

// Runs one comb over x[0..n-1], writing its outputs to y. line holds the
// comb's T stored values as a ring whose oldest value sits at head; head
// moves on by n. Within a stretch that does not wrap, the ring needs no index
// arithmetic per sample, and the line is never copied as a whole: a call
// touches only the n slots it rewrites.
void runComb(CombKind kind, double g, double* line, unsigned T, unsigned& head, const double* x,
             int n, double* y) {
    if (T == 0) {
        // Outside the contract: a comb without memory sees a delayed term of 0.
        for (int k = 0; k < n; ++k)
            y[k] = kind == CombKind::Feedback ? (1.0 - g) * x[k]
                                              : (kind == CombKind::FeedForward ? x[k] : 0.0);
        return;
    }
    const double inputGain = 1.0 - g;
    unsigned pos = head;
    int k = 0;
    while (k < n) {
        const int run = std::min<int>(static_cast<int>(T - pos), n - k);
        double* slot = line + pos;
        const double* xs = x + k;
        double* ys = y + k;
        switch (kind) {
            case CombKind::Feedback:
                for (int i = 0; i < run; ++i) {
                    const double out = inputGain * xs[i] + slot[i];
                    ys[i] = out;
                    slot[i] = g * out;
                }
                break;
            case CombKind::FeedForward:
                for (int i = 0; i < run; ++i) {
                    ys[i] = xs[i] + slot[i];
                    slot[i] = g * xs[i];
                }
                break;
            case CombKind::LagProduct:
                for (int i = 0; i < run; ++i) {
                    ys[i] = xs[i] * slot[i];
                    slot[i] = xs[i];
                }
                break;
        }
        k += run;
        pos += run;
        if (pos == T) pos = 0;
    }
    head = pos;
}

// Smooths the energy sequence q[0..n-1] into the output frames, writing frame
// f to dest[f * stride]. smoothing > 0 only.
void smoothEnergy(const double* q, int n, double smoothing, int hop, int frames, double* dest,
                  int stride) {
    if (n <= 0) {
        // Outside the contract (empty block): no energy.
        for (int f = 0; f < frames; ++f) dest[f * stride] = 0.0;
        return;
    }
    if (smoothing >= 1.0) {
        // Sliding sums over a window of W samples (W = 1 is q itself).
        const int window = std::min(std::max(static_cast<int>(std::floor(smoothing)), 1), n);
        auto windowSum = [&](int start) {
            double sum = 0.0;
            for (int i = 0; i < window; ++i) sum += q[start + i];
            return sum;
        };
        if (hop < 1) {
            dest[0] = windowSum(n - window);
        } else {
            for (int f = 0; f < frames; ++f) {
                const int start = std::min(f * hop, n - window);
                dest[f * stride] = windowSum(start);
            }
        }
        return;
    }
    // Leaky integration restarted at the start of the block:
    // r[0] = q[0], r[k] = p * r[k - 1] + q[k].
    if (hop < 1) {
        double r = q[0];
        for (int k = 1; k < n; ++k) r = smoothing * r + q[k];
        dest[0] = r;
        return;
    }
    double r = q[0];
    int k = 0;
    for (int f = 0; f < frames; ++f) {
        const int target = std::min(hop - 1 + f * hop, n - 1);
        for (; k < target; ++k) r = smoothing * r + q[k + 1];
        dest[f * stride] = r;
    }
}

}  // namespace

Resonators::Resonators(const std::vector<unsigned int>& delays, const std::vector<double>& gains,
                       const double& smoothing, const int& hop)
    : numResonators_(static_cast<unsigned>(delays.size())),
      longestDelay_(delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end())),
      delays_(delays),
      gains_(gains),
      smoothing_(smoothing),
      hop_(hop),
      state_(static_cast<std::size_t>(numResonators_) * longestDelay_, 0.0),
      heads_(numResonators_, 0u),
      chunksPerLine_(chunksFor(longestDelay_)),
      chunkSums_(static_cast<std::size_t>(numResonators_) * chunksPerLine_, 0.0),
      lineSums_(numResonators_, 0.0),
      delaysAsDouble_(delays.begin(), delays.end()) {
    // A gain list shorter than the delay list is outside the contract; the
    // missing combs become lag products rather than reading past the list.
    if (gains_.size() < numResonators_) gains_.resize(numResonators_, 0.0);
}

int Resonators::outputFrames(int inputLength, int hop, double smoothing) {
    if (hop < 1) return 1;
    const double n = inputLength;
    const double frames = smoothing < 1.0 ? std::floor((n - hop) / hop + 1.0)
                                          : std::floor((n - smoothing) / hop + 1.0);
    return frames > 0.0 ? static_cast<int>(frames) : 0;
}

void Resonators::process(const std::vector<double>& input, std::vector<double>& inputEnergy,
                         NumaMathLibrary::Matrix<double>& out) {
    const int length = static_cast<int>(input.size());
    const int frames = outputFrames(length, hop_, smoothing_);
    const unsigned rows =
        smoothing_ > 0.0 ? static_cast<unsigned>(frames) : static_cast<unsigned>(length);
    // Every element is overwritten below, so a matrix of the right shape is
    // reused as it is.
    if (out.nRows() != rows || out.nCols() != numResonators_) out.resize(rows, numResonators_, 0.0);

    double* energyDest = nullptr;
    if (smoothing_ > 0.0) {
        inputEnergy.resize(frames);
        energyDest = inputEnergy.data();
    }
    runBank(out.data(), state_.data(), heads_.data(), energyDest, delaysAsDouble_.data(),
            gains_.data(), static_cast<int>(numResonators_), static_cast<int>(longestDelay_),
            input.data(), length, smoothing_, hop_, frames, true);
}

void Resonators::realResonators(double* out, double* state, double* inputEnergy, double* delays,
                                double* gains, int count, int longestDelay, double* input,
                                int length, double smoothing, int hop, int frames, int mode) {
    if (mode != 0 || count <= 0) return;
    // Plain arrays carry no ring positions: the lines come in oldest first
    // and leave the same way.
    std::vector<unsigned> heads(static_cast<std::size_t>(count), 0u);
    runBank(out, state, heads.data(), inputEnergy, delays, gains, count, longestDelay, input,
            length, smoothing, hop, frames, false);
    if (lineScratch_.size() < static_cast<std::size_t>(std::max(longestDelay, 0)))
        lineScratch_.resize(longestDelay);
    for (int j = 0; j < count; ++j)
        realign(state + static_cast<std::size_t>(j) * longestDelay,
                static_cast<unsigned>(delays[j]), heads[j], lineScratch_.data());
}

void Resonators::runBank(double* out, double* state, unsigned* heads, double* inputEnergy,
                         const double* delays, const double* gains, int count, int longestDelay,
                         const double* input, int length, double smoothing, int hop, int frames,
                         bool ownLines) {
    if (length < 0) length = 0;
    // The leaky integral with a single output (the tracker's setting) is a
    // chain of dependent multiply-adds per comb; running kGroup combs' chains
    // side by side keeps each chain's order of operations and hides the latency.
    const bool groupedLeaky = smoothing > 0.0 && smoothing < 1.0 && hop < 1 && length > 0;
    const std::size_t needed = static_cast<std::size_t>(length) * (groupedLeaky ? kGroup + 1 : 1);
    if (scratch_.size() < needed) scratch_.resize(needed);
    double* y = scratch_.data();
    double* groupEnergies = y + length;  // length x kGroup, sample-major

    for (int first = 0; first < count; first += kGroup) {
        const int members = std::min(kGroup, count - first);
        for (int m = 0; m < members; ++m) {
            const int j = first + m;
            const double g = gains[j];
            const CombKind kind = combKindFor(g);
            double* line = state + static_cast<std::size_t>(j) * longestDelay;
            const unsigned firstSlot = heads[j];
            // The next comb's slots are far away in memory: ask for them now,
            // so that they arrive while this comb runs.
            if (j + 1 < count) {
                const double* next = line + longestDelay + heads[j + 1];
                const double* nextEnd = line + longestDelay + static_cast<unsigned>(delays[j + 1]);
                for (int k = 0; k < length && next + k < nextEnd; k += 8)
                    __builtin_prefetch(next + k, 1);
            }
            runComb(kind, g, line, static_cast<unsigned>(delays[j]), heads[j], input, length, y);
            if (ownLines) updateLineSum(static_cast<unsigned>(j), firstSlot, length);

            if (smoothing <= 0.0) {
                for (int k = 0; k < length; ++k)
                    out[static_cast<std::size_t>(k) * count + j] = y[k];
            } else if (groupedLeaky) {
                for (int k = 0; k < length; ++k)
                    groupEnergies[k * kGroup + m] =
                        kind == CombKind::LagProduct ? y[k] : y[k] * y[k];
            } else {
                if (kind != CombKind::LagProduct)
                    for (int k = 0; k < length; ++k) y[k] *= y[k];
                smoothEnergy(y, length, smoothing, hop, frames, out + j, count);
            }
        }
        if (groupedLeaky) {
            // r[0] = q[0], r[k] = p * r[k - 1] + q[k], for each comb of the group.
            // A short last group also runs the spare lanes; their results are dropped.
            double r[kGroup];
            for (int m = 0; m < kGroup; ++m) r[m] = groupEnergies[m];
            for (int k = 1; k < length; ++k)
                for (int m = 0; m < kGroup; ++m)
                    r[m] = smoothing * r[m] + groupEnergies[k * kGroup + m];
            for (int m = 0; m < members; ++m) out[first + m] = r[m];
        }
    }

    if (smoothing > 0.0) {
        for (int k = 0; k < length; ++k) y[k] = input[k] * input[k];
        smoothEnergy(y, length, smoothing, hop, frames, inputEnergy, 1);
    }
}

void Resonators::reset() {
    std::fill(state_.begin(), state_.end(), 0.0);
    std::fill(heads_.begin(), heads_.end(), 0u);
    std::fill(chunkSums_.begin(), chunkSums_.end(), 0.0);
    std::fill(lineSums_.begin(), lineSums_.end(), 0.0);
}

// Line j's slots firstSlot .. firstSlot + count - 1 (around the ring) were
// rewritten: their chunks are summed afresh, from the values as they stand,
// so the sums never drift however long the bank runs, and the line's total
// is the sum of its chunks in a fixed order.
void Resonators::updateLineSum(unsigned j, unsigned firstSlot, int count) const {
    const unsigned T = delays_[j];
    if (T == 0 || count <= 0) return;
    const double* line = state_.data() + static_cast<std::size_t>(j) * longestDelay_;
    double* chunks = chunkSums_.data() + static_cast<std::size_t>(j) * chunksPerLine_;
    const unsigned lineChunks = chunksFor(T);
    auto sumChunk = [&](unsigned c) {
        // Four partial sums side by side hide the adders' latency.
        const double* v = line + c * kChunk;
        const unsigned length = std::min(T, (c + 1) * kChunk) - c * kChunk;
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        unsigned i = 0;
        for (; i + 4 <= length; i += 4) {
            s0 += v[i] * v[i];
            s1 += v[i + 1] * v[i + 1];
            s2 += v[i + 2] * v[i + 2];
            s3 += v[i + 3] * v[i + 3];
        }
        for (; i < length; ++i) s0 += v[i] * v[i];
        chunks[c] = (s0 + s1) + (s2 + s3);
    };
    const unsigned lastSlot = (firstSlot + static_cast<unsigned>(count) - 1) % T;
    const unsigned first = firstSlot / kChunk;
    const unsigned last = lastSlot / kChunk;
    // A stretch that wraps round into its own first chunk covers them all.
    if (static_cast<unsigned>(count) >= T || (lastSlot < firstSlot && first == last)) {
        for (unsigned c = 0; c < lineChunks; ++c) sumChunk(c);
    } else {
        for (unsigned c = first;; c = c + 1 == lineChunks ? 0 : c + 1) {
            sumChunk(c);
            if (c == last) break;
        }
    }
    double total = 0.0;
    for (unsigned c = 0; c < lineChunks; ++c) total += chunks[c];
    lineSums_[j] = total;
}

void Resonators::alignLine(unsigned j) const {
    if (j >= numResonators_ || heads_[j] == 0) return;
    if (lineScratch_.size() < longestDelay_) lineScratch_.resize(longestDelay_);
    realign(state_.data() + static_cast<std::size_t>(j) * longestDelay_, delays_[j], heads_[j],
            lineScratch_.data());
    heads_[j] = 0;
    updateLineSum(j, 0, static_cast<int>(delays_[j]));
}

void Resonators::alignLines() const {
    for (unsigned j = 0; j < numResonators_; ++j) alignLine(j);
}

const double* Resonators::getState() const {
    alignLines();
    return state_.data();
}

void Resonators::getState(NumaMathLibrary::Matrix<double>& out) const {
    alignLines();
    if (out.nRows() != numResonators_ || out.nCols() != longestDelay_)
        out.resize(numResonators_, longestDelay_, 0.0);
    for (unsigned i = 0; i < numResonators_; ++i)
        for (unsigned k = i; k < longestDelay_; ++k)
            out[i][k] = state_[i + static_cast<std::size_t>(k) * numResonators_];
}

}  // namespace meterTracker
