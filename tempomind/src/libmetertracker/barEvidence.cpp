#include "barEvidence.h"

#include <algorithm>
#include <cmath>

#include "precondition.h"

namespace meterTracker {

namespace {

const double kPi = 3.14159265358979323846;
const double kTargetRate = 11025.0;
const double kOnsetFrameRate = 86.1328125;
const unsigned kOnsetLength = 128;  // at r / 2
const unsigned kHighLength = 256;   // at r
const unsigned kTonalLength = 512;  // at r / 4
const unsigned kTonalHop = 256;
const unsigned kRing = 2048;  // power of two, at least a frame plus a chunk
const unsigned kHalfTaps = 15;
const unsigned kHalfCentre = (kHalfTaps - 1) / 2;  // taps at even offsets from it are 0
const unsigned kChunk = 1024;                      // inputs filtered at a time
const double kCompression = 1000.0;
const double kLargestSample = 1e6;
const double kBandEdges[BeatEvidence::kRhythmBands][2] = {
    {50.0, 170.0}, {170.0, 800.0}, {800.0, 2500.0}, {2500.0, 5500.0}};
const double kChromaLow = 100.0, kChromaHigh = 2000.0;
const double kBassLow = 40.0, kBassHigh = 200.0;
const double kTonalTop = 0.45;  // of the tonal rate: below the half-band filters' roll-off
// -80 dB: the compressed level log(1 + 1000 * 1e-4).
const double kAudibleLevel = 0.0953;
// Onset rows: the rises of the four bands, then the frame's level (the largest v).
const int kOnsetColumns = BeatEvidence::kRhythmBands + 1;
const int kLevelColumn = BeatEvidence::kRhythmBands;

// Hann window without zero end points.
void hann(std::vector<double>& w, unsigned n) {
    w.resize(n);
    for (unsigned i = 0; i < n; ++i) w[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (i + 1) / (n + 1));
}

// Appends v to a ring that keeps every value twice, at j and j + kRing, so
// that the newest kRing values always lie in one piece.
void pushTwice(std::vector<double>& ring, long& count, double v) {
    const std::size_t j = std::size_t(count) & (kRing - 1);
    ring[j] = ring[j + kRing] = v;
    ++count;
}

// sum_k h[k] x[k] for a symmetric h of length L, unrolled for the usual lengths.
template <unsigned L>
inline double fir(const double* h, const double* x) {
    double y = (L % 2) ? h[L / 2] * x[L / 2] : 0.0;
    for (unsigned k = 0; k < L / 2; ++k) y += h[k] * (x[k] + x[L - 1 - k]);
    return y;
}

inline double fir(const double* h, const double* x, unsigned L) {
    double y = 0.0;
    for (unsigned k = 0; k < L; ++k) y += h[k] * x[k];
    return y;
}

}  // namespace

BarEvidence::BarEvidence(unsigned sampleRate)
    : sampleRate_(sampleRate), onsetFft_(kOnsetLength), tonalFft_(kTonalLength) {
    TM_PRECONDITION(sampleRate >= 8000, "sample rate of at least 8000 Hz");
    factor_ = std::max(1u, unsigned(std::lround(sampleRate / kTargetRate)));
    rate_ = double(sampleRate) / factor_;
    onsetHop_ = unsigned(std::lround(rate_ / 2.0 / kOnsetFrameRate));

    // Third-order moving average of length D: D^-3 (1 + z^-1 + ... + z^-(D-1))^3.
    taps_.assign(1, 1.0);
    for (int order = 0; order < 3 && factor_ > 1; ++order) {
        std::vector<double> next(taps_.size() + factor_ - 1, 0.0);
        for (std::size_t i = 0; i < taps_.size(); ++i)
            for (unsigned j = 0; j < factor_; ++j) next[i + j] += taps_[i] / factor_;
        taps_.swap(next);
    }
    halfTaps_.assign(kHalfTaps, 0.0);
    double sum = 0.0;
    for (unsigned k = 0; k < kHalfTaps; ++k) {
        const double n = k - double(kHalfCentre);
        const double x = 0.5 * n;  // cut-off at a quarter of the rate: a half-band filter
        const double sinc = n == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
        const double blackman = 0.42 - 0.5 * std::cos(2.0 * kPi * k / (kHalfTaps - 1)) +
                                0.08 * std::cos(4.0 * kPi * k / (kHalfTaps - 1));
        halfTaps_[k] = sinc * blackman;
        sum += halfTaps_[k];
    }
    for (double& t : halfTaps_) t /= sum;
    const double firstDelay = (taps_.size() - 1) / 2.0 / sampleRate;
    halfDelay_ = firstDelay + kHalfCentre / rate_;
    quarterDelay_ = halfDelay_ + kHalfCentre / (rate_ / 2.0);
    work_.assign(taps_.size() - 1 + kChunk, 0.0);
    fullAudio_.assign(2 * kRing, 0.0);
    halfAudio_.assign(2 * kRing, 0.0);
    quarterAudio_.assign(2 * kRing, 0.0);

    hann(onsetWindow_, kOnsetLength);
    hann(highWindow_, kHighLength);
    hann(tonalWindow_, kTonalLength);
    frame_.assign(kTonalLength, 0.0);
    re_.assign(kTonalLength / 2 + 1, 0.0);
    im_.assign(kTonalLength / 2 + 1, 0.0);

    // The lower bands from the onset frames at r / 2; the highest one apart.
    const double halfRate = rate_ / 2.0;
    for (int b = 0; b + 1 < BeatEvidence::kRhythmBands; ++b) {
        const double high = std::min(kBandEdges[b][1], halfRate / 2.0);
        const int first = int(std::ceil(kBandEdges[b][0] * kOnsetLength / halfRate));
        const int end =
            std::min(int(std::ceil(high * kOnsetLength / halfRate)), int(kOnsetLength / 2 + 1));
        onsetBandFirst_[b] = first;
        onsetBandEnd_[b] = std::max(first, end);
    }
    onsetRows_ = unsigned(std::ceil(kHistorySeconds * halfRate / onsetHop_)) + 1;
    onsets_.assign(std::size_t(onsetRows_) * kOnsetColumns, 0.0f);

    const double tonalRate = rate_ / 4.0;
    const double top = std::min(kChromaHigh, kTonalTop * tonalRate);
    tonalFirstBin_ = int(std::ceil(kBassLow * kTonalLength / tonalRate));
    const int tonalEnd =
        std::min(int(std::ceil(top * kTonalLength / tonalRate)), int(kTonalLength / 2 + 1));
    tonalBins_ = std::max(0, tonalEnd - tonalFirstBin_);
    tonalRows_ = unsigned(std::ceil(kHistorySeconds * tonalRate / kTonalHop)) + 1;
    tonal_.assign(std::size_t(tonalRows_) * tonalBins_, 0.0f);
    pitchClass_.assign(tonalBins_, 0);
    inChroma_.assign(tonalBins_, 0);
    inBass_.assign(tonalBins_, 0);
    for (int i = 0; i < tonalBins_; ++i) {
        const double f = double(tonalFirstBin_ + i) * tonalRate / kTonalLength;
        const long midi = std::lround(69.0 + 12.0 * std::log2(f / 440.0));
        pitchClass_[i] = int(((midi % 12) + 12) % 12);
        inChroma_[i] = f >= kChromaLow && f < top;
        inBass_[i] = f >= kBassLow && f < kBassHigh;
    }
    column_.assign(std::size_t(std::ceil(kMaxSegmentSeconds * tonalRate / kTonalHop)) + 2, 0.0f);
    span_.assign(tonalBins_, 0.0);
    reset();
}

void BarEvidence::reset() {
    std::fill(work_.begin(), work_.end(), 0.0);
    inputCount_ = 0;
    std::fill(fullAudio_.begin(), fullAudio_.end(), 0.0);
    std::fill(halfAudio_.begin(), halfAudio_.end(), 0.0);
    std::fill(quarterAudio_.begin(), quarterAudio_.end(), 0.0);
    fullCount_ = 0;
    halfCount_ = 0;
    quarterCount_ = 0;
    onsetFrames_ = 0;
    tonalFrames_ = 0;
    std::fill(previousBand_, previousBand_ + BeatEvidence::kRhythmBands, 0.0);
    std::fill(onsets_.begin(), onsets_.end(), 0.0f);
    std::fill(tonal_.begin(), tonal_.end(), 0.0f);
    for (auto& c : chroma_) std::fill(c, c + 12, 0.0);
    for (auto& c : bass_) std::fill(c, c + 12, 0.0);
    spans_ = 0;
}

void BarEvidence::addAudio(const double* samples, unsigned count) {
    const unsigned L = unsigned(taps_.size());
    const double* h = taps_.data();
    while (count > 0) {
        const unsigned n = std::min(count, kChunk);
        // work_ holds the L - 1 inputs before the chunk, then the chunk.
        std::copy(samples, samples + n, work_.begin() + (L - 1));
        // y[m] = sum_k h[k] x[mD - k] for the inputs mD in the chunk.
        unsigned i = unsigned((factor_ - inputCount_ % factor_) % factor_);
        for (; i < n; i += factor_) {
            const double* x = &work_[i];  // x[L - 1] is input i; the taps are symmetric
            double y;
            switch (L) {
                case 1:
                    y = x[0];
                    break;
                case 4:
                    y = fir<4>(h, x);
                    break;
                case 7:
                    y = fir<7>(h, x);
                    break;
                case 10:
                    y = fir<10>(h, x);
                    break;
                case 13:
                    y = fir<13>(h, x);
                    break;
                default:
                    y = fir(h, x, L);
                    break;
            }
            // A non-finite input spoils L outputs, which count as silence;
            // anything beyond kLargestSample is no audio either.
            pushFull(std::isfinite(y) ? std::max(-kLargestSample, std::min(kLargestSample, y))
                                      : 0.0);
        }
        std::copy(work_.begin() + n, work_.begin() + (n + L - 1), work_.begin());
        inputCount_ += n;
        samples += n;
        count -= n;
        analyseReadyFrames();
    }
}

double BarEvidence::halfBand(const std::vector<double>& ring, long count) const {
    // sum_k g[k] v[count - 1 - k]; values before the stream are 0.
    const double* newest = &ring[(std::size_t(count - 1) & (kRing - 1)) + kRing];
    double z = halfTaps_[kHalfCentre] * newest[-long(kHalfCentre)];
    for (unsigned k = 1; k <= kHalfCentre; k += 2)
        z += halfTaps_[kHalfCentre - k] *
             (newest[-long(kHalfCentre - k)] + newest[-long(kHalfCentre + k)]);
    return z;
}

void BarEvidence::pushFull(double y) {
    const bool even = fullCount_ % 2 == 0;
    pushTwice(fullAudio_, fullCount_, y);
    if (!even) return;
    // z[q] = sum_k g[k] y[2q - k]
    const bool halfEven = halfCount_ % 2 == 0;
    pushTwice(halfAudio_, halfCount_, halfBand(fullAudio_, fullCount_));
    if (halfEven) pushTwice(quarterAudio_, quarterCount_, halfBand(halfAudio_, halfCount_));
}

void BarEvidence::analyseReadyFrames() {
    // Onset frame j spans half-rate samples [j H, j H + 128) and, for the high
    // band, full-rate samples [2 j H, 2 j H + 256).
    while (onsetFrames_ * long(onsetHop_) + long(kOnsetLength) <= halfCount_ &&
           2 * onsetFrames_ * long(onsetHop_) + long(kHighLength) <= fullCount_)
        analyseOnsetFrame();
    while (tonalFrames_ * long(kTonalHop) + long(kTonalLength) <= quarterCount_)
        analyseTonalFrame();
}

void BarEvidence::analyseOnsetFrame() {
    const double* x = &halfAudio_[std::size_t(onsetFrames_ * onsetHop_) & (kRing - 1)];
    for (unsigned i = 0; i < kOnsetLength; ++i) frame_[i] = x[i] * onsetWindow_[i];
    onsetFft_.forward(frame_.data(), re_.data(), im_.data());
    double amplitude[BeatEvidence::kRhythmBands];
    for (int b = 0; b + 1 < BeatEvidence::kRhythmBands; ++b) {
        double power = 0.0;
        for (int k = onsetBandFirst_[b]; k < onsetBandEnd_[b]; ++k)
            power += re_[k] * re_[k] + im_[k] * im_[k];
        amplitude[b] = std::sqrt(power) / (kOnsetLength / 4.0);
    }
    // The highest band: the amplitude of the first difference of the full-rate
    // audio (a high-pass rising 6 dB per octave) over the same span.
    const long first = 2 * onsetFrames_ * long(onsetHop_);
    const double* y = &fullAudio_[std::size_t(first) & (kRing - 1)];
    const double before = first > 0 ? fullAudio_[std::size_t(first - 1) & (kRing - 1)] : 0.0;
    double d = (y[0] - before) * highWindow_[0];
    // Four partial sums, so that the additions do not wait for each other.
    double power[4] = {d * d, 0.0, 0.0, 0.0};
    for (unsigned i = 1; i < kHighLength; ++i) {
        d = (y[i] - y[i - 1]) * highWindow_[i];
        power[i % 4] += d * d;
    }
    amplitude[BeatEvidence::kRhythmBands - 1] =
        std::sqrt((power[0] + power[1]) + (power[2] + power[3])) / (kHighLength / 4.0);
    float* row = &onsets_[std::size_t(onsetFrames_ % onsetRows_) * kOnsetColumns];
    double level = 0.0;
    for (int b = 0; b < BeatEvidence::kRhythmBands; ++b) {
        const double v = std::log1p(kCompression * amplitude[b]);
        level = std::max(level, v);
        const double rise = onsetFrames_ == 0 ? 0.0 : std::max(0.0, v - previousBand_[b]);
        previousBand_[b] = v;
        row[b] = float(rise);
    }
    row[kLevelColumn] = float(level);
    ++onsetFrames_;
}

void BarEvidence::analyseTonalFrame() {
    const double* x = &quarterAudio_[std::size_t(tonalFrames_ * kTonalHop) & (kRing - 1)];
    for (unsigned i = 0; i < kTonalLength; ++i) frame_[i] = x[i] * tonalWindow_[i];
    tonalFft_.forward(frame_.data(), re_.data(), im_.data());
    // Bin-major, so that a bin's frames lie side by side for the medians.
    const std::size_t row = std::size_t(tonalFrames_ % tonalRows_);
    for (int i = 0; i < tonalBins_; ++i) {
        const int k = tonalFirstBin_ + i;
        tonal_[std::size_t(i) * tonalRows_ + row] =
            float(std::sqrt(re_[k] * re_[k] + im_[k] * im_[k]) / (kTonalLength / 4.0));
    }
    ++tonalFrames_;
}

double BarEvidence::analysedUntil() const {
    // The centres of the next frames to come: every frame centred before both
    // has been analysed.
    const double onset =
        (onsetFrames_ * double(onsetHop_) + kOnsetLength / 2.0) / (rate_ / 2.0) - halfDelay_;
    const double tonal =
        (tonalFrames_ * double(kTonalHop) + kTonalLength / 2.0) / (rate_ / 4.0) - quarterDelay_;
    return std::min(onset, tonal);
}

double BarEvidence::largestOnset(int band, double from, double to) const {
    // Frames centred in [from, to).
    const double halfRate = rate_ / 2.0;
    long first = long(std::ceil(((from + halfDelay_) * halfRate - kOnsetLength / 2.0) / onsetHop_));
    long end = long(std::ceil(((to + halfDelay_) * halfRate - kOnsetLength / 2.0) / onsetHop_));
    first = std::max(first, std::max(0L, onsetFrames_ - long(onsetRows_)));
    end = std::min(end, onsetFrames_);
    double best = 0.0;
    for (long j = first; j < end; ++j)
        best = std::max(best, double(onsets_[std::size_t(j % onsetRows_) * kOnsetColumns + band]));
    return best;
}

void BarEvidence::spanSpectrum(double start, double end, std::vector<double>& out) {
    const long kept = std::max(0L, tonalFrames_ - long(tonalRows_));
    auto frameAtOrAfter = [&](double t) {
        return long(
            std::ceil(((t + quarterDelay_) * rate_ / 4.0 - kTonalLength / 2.0) / kTonalHop));
    };
    long first = std::max(0L, frameAtOrAfter(start));
    long stop = frameAtOrAfter(end);
    if (stop <= first) {
        // No frame centred in the span: the first one from its start on.
        stop = first + 1;
    }
    first = std::max(first, kept);
    stop = std::min(stop, tonalFrames_);
    if (stop <= first) {
        if (tonalFrames_ > kept && first >= tonalFrames_) {
            first = tonalFrames_ - 1;
            stop = tonalFrames_;
        } else {
            std::fill(out.begin(), out.end(), 0.0);
            return;
        }
    }
    const long n = std::min<long>(stop - first, long(column_.size()));
    first = stop - n;
    for (int i = 0; i < tonalBins_; ++i) {
        const float* bin = &tonal_[std::size_t(i) * tonalRows_];
        for (long j = 0; j < n; ++j) column_[j] = bin[(first + j) % tonalRows_];
        float* b = column_.data();
        std::nth_element(b, b + n / 2, b + n);
        double median = b[n / 2];
        if (n % 2 == 0) median = 0.5 * (median + *std::max_element(b, b + n / 2));
        out[i] = std::log1p(kCompression * median);
    }
}

double BarEvidence::cosineDistance(const double* a, const double* b, int n) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (int i = 0; i < n; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    const double na = std::sqrt(aa), nb = std::sqrt(bb);
    if (na < 1e-9 || nb < 1e-9) return 0.0;
    return 1.0 - ab / (na * nb);
}

void BarEvidence::beatEvidence(double start, double end, BeatEvidence& out) {
    end = std::min(end, start + kMaxSegmentSeconds);
    spanSpectrum(start, end, span_);
    out.audible = largestOnset(kLevelColumn, start, end) >= kAudibleLevel;

    for (int s = 0; s < 3; ++s) {
        std::copy(chroma_[s + 1], chroma_[s + 1] + 12, chroma_[s]);
        std::copy(bass_[s + 1], bass_[s + 1] + 12, bass_[s]);
    }
    double* chroma = chroma_[3];
    double* bass = bass_[3];
    std::fill(chroma, chroma + 12, 0.0);
    std::fill(bass, bass + 12, 0.0);
    for (int i = 0; i < tonalBins_; ++i) {
        if (inChroma_[i]) chroma[pitchClass_[i]] += span_[i];
        if (inBass_[i]) bass[pitchClass_[i]] += span_[i];
    }
    ++spans_;

    const double w = kOnsetWindowSeconds;
    // The window includes its far end: frames centred in [start - w, start + w].
    const double pastEnd = start + w + 0.5 * onsetHop_ / (rate_ / 2.0);
    out.lowOnset = largestOnset(0, start - w, pastEnd);
    out.highOnset = largestOnset(BeatEvidence::kRhythmBands - 1, start - w, pastEnd);
    out.chromaChange = spans_ >= 2 ? cosineDistance(chroma_[2], chroma_[3], 12) : 0.0;
    out.bassChange = spans_ >= 2 ? cosineDistance(bass_[2], bass_[3], 12) : 0.0;
    out.hasPrevious = spans_ >= 4;
    out.previousChromaChange2 = 0.0;
    out.previousBassChange2 = 0.0;
    if (out.hasPrevious) {
        double before[12], after[12], bassBefore[12], bassAfter[12];
        for (int k = 0; k < 12; ++k) {
            before[k] = chroma_[0][k] + chroma_[1][k];
            after[k] = chroma_[2][k] + chroma_[3][k];
            bassBefore[k] = bass_[0][k] + bass_[1][k];
            bassAfter[k] = bass_[2][k] + bass_[3][k];
        }
        out.previousChromaChange2 = cosineDistance(before, after, 12);
        out.previousBassChange2 = cosineDistance(bassBefore, bassAfter, 12);
    }

    const double length = end - start;
    for (int s = 0; s < BeatEvidence::kRhythmSteps; ++s) {
        const double centre = start + length * s / BeatEvidence::kRhythmSteps;
        const double half = length / BeatEvidence::kRhythmSteps / 2.0;
        for (int b = 0; b < BeatEvidence::kRhythmBands; ++b)
            out.rhythm[b * BeatEvidence::kRhythmSteps + s] =
                std::sqrt(largestOnset(b, centre - half, centre + half));
    }
}

}  // namespace meterTracker
