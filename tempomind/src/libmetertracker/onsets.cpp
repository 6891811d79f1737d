#include "onsets.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>

#include "fastRealFft.h"
#include "fft_and_filter.h"
#include "precondition.h"
#include "vectorClones.h"

using NumaMathLibrary::Matrix;

namespace {

// Supported input rates and the sizes they fix; matched within 0.01 Hz in this order.
struct RateRow {
    double rate;
    unsigned int frameLength;  // N; the hop is N/2
    unsigned int bands;
};

const RateRow kRates[] = {
    {44100.0, 1024, 36}, {32000.0, 1024, 36}, {22050.0, 512, 18},
    {16000.0, 512, 18},  {8000.0, 256, 9},
};

const RateRow* findRate(double srate) {
    for (const RateRow& row : kRates)
        if (std::fabs(srate - row.rate) < 0.01) return &row;
    return nullptr;
}

void printSupportedRates() {
    std::cerr << "Supported sampling rates: 44.1,32,22.05,16,8 kHz." << std::endl;
}

// 6th-order Butterworth low-pass designs (bilinear transform with
// pre-warping) at normalised cut-offs (1 = Nyquist). b is symmetric, so only
// b0..b3 are stored; a[0] = 1.
struct LowpassRow {
    double nominal;  // the cut-off a requested Wn is matched against
    double b[4];
    double a[6];  // a1 .. a6
};

const LowpassRow kLowpassRows[] = {
    {0.058,
     {4.0866471883391476e-07, 2.4519883130034888e-06, 6.129970782508721e-06, 8.173294376678295e-06},
     {-5.296174790814393, 11.724297472117549, -13.883104720860363, 9.272605334179827,
      -3.3115809205700764, 0.493983780489465}},
    {0.1161,
     {1.934821074187553e-05, 0.0001160892644512532, 0.000290223161128133, 0.0003869642148375107},
     {-4.592236133523747, 8.918281529847143, -9.353758411594637, 5.578960297450523,
      -1.791904459442157, 0.2418954627503554}},
    {0.2322,
     {0.000726459723802267, 0.004358758342813602, 0.010896895857034005, 0.014529194476045339},
     {-3.192209701037845, 4.643421400818108, -3.802660101338162, 1.8270821279380969,
      -0.4841050192290083, 0.054964715172156224}},
    {0.0871,
     {4.005615543621221e-06, 2.4033693261727327e-05, 6.008423315431832e-05, 8.011231087242442e-05},
     {-4.943398513351705, 10.260832024813666, -11.436979626795786, 7.21512374207958,
      -2.441277868978983, 0.3459566016280178}},
    {0.1741,
     {0.00016646400653085595, 0.0009987840391851356, 0.002496960097962839, 0.003329280130617119},
     {-3.89152083827514, 6.568484249334288, -6.091744729768651, 3.2555832633541524,
      -0.9469311626006712, 0.11678291437399564}},
    {0.3483,
     {0.005325643052721953, 0.03195385831633172, 0.0798846457908293, 0.10651286105443906},
     {-1.8031183349212045, 1.9973498736232622, -1.252179051074878, 0.49833052377589604,
      -0.11043930573550598, 0.010897449706635136}},
    {0.08,
     {2.497222526890372e-06, 1.4983335161342231e-05, 3.745833790335558e-05, 4.994445053780744e-05},
     {-5.029438351421609, 10.607042183779683, -11.999315816216697, 7.675474548200203,
      -2.631055128473949, 0.3774523863740888}},
    {0.16,
     {0.0001070688974214216, 0.0006424133845285293, 0.001606033461321323, 0.002141377948428431},
     {-4.061643999213436, 7.099503818750704, -6.785016025397502, 3.723019428891598,
      -1.108670855343532, 0.1396600417471391}},
    {0.32,
     {0.0035382735778316525, 0.021229641466989916, 0.05307410366747479, 0.07076547155663306},
     {-2.140755924193054, 2.5005825660754333, -1.6855996074285415, 0.6975629209793707,
      -0.16177987518017167, 0.01643942872818917}},
    {0.12,
     {2.3133049709735802e-05, 0.0001387982982584148, 0.00034699574564603706, 0.0004626609941947161},
     {-4.545047459119294, 8.746397596943641, -9.098376319852559, 5.386173059399326,
      -1.7181353494690363, 0.2304689872793439}},
    {0.24,
     {0.0008575364450074961, 0.005145218670044977, 0.012863046675112441, 0.017150728900149924},
     {-3.0985416733657263, 4.41643692079585, -3.5565864008231305, 1.685139137025157,
      -0.4411240090919801, 0.049558357940309355}},
    {0.48,
     {0.02441077305913739, 0.14646463835482434, 0.3661615958870608, 0.4882154611827478},
     {-0.23736615265704458, 0.7987232170149388, -0.11298309067979988, 0.11966544686321151,
      -0.007612983603062123, 0.0018630388465492597}},
    // Matched as 0.029 but designed for 0.0290249... (10 Hz at 689.0625 Hz).
    {0.029,
     {7.561659825213576e-09, 4.5369958951281456e-08, 1.1342489737820365e-07,
      1.5123319650427152e-07},
     {-5.647713845768214, 13.300086408481341, -16.716463968412278, 11.82649879657815,
      -4.465360149437945, 0.7029532425051724}},
};

// Audio is nominally within +-1. Non-finite samples become silence and
// magnitudes are capped, so that no sample can make the running statistics
// (which every later frame uses) infinite or NaN.
constexpr double kMaxSampleMagnitude = 1e100;

double cleanSample(double v) {
    if (!std::isfinite(v)) return 0.0;
    return std::max(-kMaxSampleMagnitude, std::min(kMaxSampleMagnitude, v));
}

// The first n values of the C library's rand() after srand(seed), computed
// here (glibc's additive feedback generator) so that the process-wide
// generator is left alone and the sequence is the same on every use.
void seededRandSequence(unsigned int seed, std::size_t n, std::vector<std::uint32_t>& out) {
    const std::size_t discard = 310;
    std::vector<std::int32_t> r(34 + discard + n);
    r[0] = seed == 0 ? 1 : static_cast<std::int32_t>(seed);
    for (std::size_t i = 1; i < 31; ++i) {
        // 16807 * r mod (2^31 - 1) without overflow (Schrage's method).
        const std::int32_t hi = r[i - 1] / 127773;
        const std::int32_t lo = r[i - 1] % 127773;
        std::int32_t word = 16807 * lo - 2836 * hi;
        if (word < 0) word += 2147483647;
        r[i] = word;
    }
    for (std::size_t i = 31; i < 34; ++i) r[i] = r[i - 31];
    for (std::size_t i = 34; i < r.size(); ++i)
        r[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(r[i - 31]) +
                                         static_cast<std::uint32_t>(r[i - 3]));
    out.resize(n);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = static_cast<std::uint32_t>(r[34 + discard + k]) >> 1;
}

}  // namespace

Onsets::Onsets(unsigned int srate) : srate_(srate) {
    reset();
    buildWindow(findRate(srate_)->frameLength);
}

void Onsets::setSrate(unsigned int srate) {
    srate_ = srate;
    const RateRow* row = findRate(srate_);
    if (row && window_.size() != row->frameLength) buildWindow(row->frameLength);
    reset();
}

void Onsets::reset() {
    const RateRow* row = findRate(srate_);
    if (!row) printSupportedRates();
    TM_PRECONDITION(row != nullptr, "supported sampling rate");

    buffer_.assign(1, -1.0);
    bufferEmpty_ = true;
    newData_ = false;
    bufferFolded_ = 0;
    accentHistory_.assign(1, -1.0);
    accentFirstColumn_ = 0;
    bandHistory_ = Matrix<double>(1, 1);
    bandHistory_[0][0] = -1.0;
    count_ = 0.0;
    mean_ = 0.0;
    variance_ = 0.0;
    previousLast_.resize(1);
    havePrevious_ = false;
    groupDelay_ = 0;
    filterState_ = Matrix<double>(6, row->bands);
    firstColumn_ = 0;
    tail_ = Matrix<double>(1, 1);
    envRate_ = 4.0 * srate_ / row->frameLength;
}

void Onsets::buildWindow(unsigned int frameLength) {
    window_.resize(frameLength);
    for (unsigned int i = 0; i < frameLength; ++i)
        window_[i] = 0.5 - 0.5 * std::cos(6.28318530717958 * (i + 1) / (frameLength + 1));
}

void Onsets::addData(const double* samples, const unsigned int& count) {
    if (bufferEmpty_) {
        buffer_.assign(samples, samples + count);
        bufferEmpty_ = false;
    } else {
        buffer_.insert(buffer_.end(), samples, samples + count);
    }
    if (count > 0) newData_ = true;
}

void Onsets::addData(const std::vector<double>& samples) {
    addData(samples.data(), static_cast<unsigned int>(samples.size()));
}

bool Onsets::process() {
    if (bufferEmpty_ || !newData_) return false;
    const unsigned int N = static_cast<unsigned int>(window_.size());
    const unsigned int hop = N / 2;
    const std::size_t L = buffer_.size();
    if (L < N) return false;

    const std::size_t F = (L - N) / hop + 1;
    // Samples from hop * F on (the next frame's overlap and anything newer) wait for later.
    kept_.assign(buffer_.begin() + hop * F, buffer_.end());
    buffer_.resize(N + hop * (F - 1));
    meterFFTenvs(blockEnvs_, blockAccents_, envRate_, buffer_, srate_);
    buffer_.swap(kept_);

    appendToHistories(blockEnvs_, blockAccents_);
    newData_ = false;
    return true;
}

void Onsets::foldSample(double v) {
    v = cleanSample(v);
    // m = (mean * count + v) / (count + 1), written so that the divisions
    // depend on the count alone and stay off the chain that carries the mean
    // from sample to sample.
    const double m = mean_ + (v - mean_) * (1.0 / (count_ + 1.0));
    if (count_ != 0.0)
        variance_ = (1.0 - 1.0 / count_) * variance_ + (count_ + 1.0) * (m - mean_) * (m - mean_);
    else
        variance_ = 0.0;
    mean_ = m;
    count_ += 1.0;
}

namespace {

// |X[k]| * scale for the first n bins of an interleaved spectrum.
METERTRACKER_VECTOR_CLONES
void binMagnitudes(const double* __restrict spectrum, unsigned int n, double scale,
                   double* __restrict out) {
    for (unsigned int k = 0; k < n; ++k) {
        const double re = spectrum[2 * k], im = spectrum[2 * k + 1];
        out[k] = std::sqrt(re * re + im * im) * scale;
    }
}

// Cleans n samples in place; their sum and the sum of their squared
// deviations from their mean, each with four partial sums that vectorise.
METERTRACKER_VECTOR_CLONES
void cleanAndSum(double* __restrict samples, std::size_t n, double& sum, double& squares) {
    const std::size_t whole = n - n % 4;
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < whole; i += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            samples[i + j] = cleanSample(samples[i + j]);
            sums[j] += samples[i + j];
        }
    for (std::size_t i = whole; i < n; ++i) {
        samples[i] = cleanSample(samples[i]);
        sums[i - whole] += samples[i];
    }
    sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
    const double mean = sum / static_cast<double>(n);
    double deviations[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < whole; i += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            const double d = samples[i + j] - mean;
            deviations[j] += d * d;
        }
    for (std::size_t i = whole; i < n; ++i) {
        const double d = samples[i] - mean;
        deviations[i - whole] += d * d;
    }
    squares = (deviations[0] + deviations[1]) + (deviations[2] + deviations[3]);
}

}  // namespace

void Onsets::cleanAndFoldSamples(double* samples, std::size_t n) {
    // The block's own mean and sum of squared deviations, then combined with
    // the running statistics: the statistics of folding the samples one by
    // one, to rounding, without its chain of dependent operations per sample.
    if (n == 0) return;
    double blockSum = 0.0, blockSquares = 0.0;
    cleanAndSum(samples, n, blockSum, blockSquares);
    const double blockCount = static_cast<double>(n);
    const double blockMean = blockSum / blockCount;

    // Two sets' statistics combined: the squared deviations of each about its
    // own mean, plus what the distance between the means adds.
    const double total = count_ + blockCount;
    const double delta = blockMean - mean_;
    const double squaresSoFar = count_ > 1.0 ? variance_ * (count_ - 1.0) : 0.0;
    const double allSquares =
        squaresSoFar + blockSquares + delta * delta * (count_ * blockCount / total);
    mean_ += delta * (blockCount / total);
    variance_ = total > 1.0 ? allSquares / (total - 1.0) : 0.0;
    count_ = total;
}

namespace {

constexpr unsigned kLowpassOrder = 6;

// Runs the sixth-order low-pass b/a, sample by sample in transposed direct
// form II, over T columns of B bands at once (x is T x B, column t at
// x + t B, filtered in place), band b carrying the state z[i B + b],
// i = 0 .. 5. Every band sees exactly the operations, in the order, of
// filter() with state; side by side, the bands' chains vectorise.
void lowpassColumns(const std::vector<double>& b, const std::vector<double>& a, double* z,
                    double* x, std::size_t T, unsigned B) {
    TM_PRECONDITION(b.size() == kLowpassOrder + 1 && a.size() == kLowpassOrder + 1,
                    "sixth-order low-pass");
    const double b0 = b[0], b1 = b[1], b2 = b[2], b3 = b[3], b4 = b[4], b5 = b[5], b6 = b[6];
    const double a1 = a[1], a2 = a[2], a3 = a[3], a4 = a[4], a5 = a[5], a6 = a[6];
    const std::size_t bands = B;
    double* z0 = z;
    double* z1 = z + B;
    double* z2 = z + 2 * B;
    double* z3 = z + 3 * B;
    double* z4 = z + 4 * B;
    double* z5 = z + 5 * B;
    for (std::size_t t = 0; t < T; ++t) {
        double* column = x + t * B;
        // The state rows and the column never overlap.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC ivdep
#endif
        for (std::size_t k = 0; k < bands; ++k) {
            const double in = column[k];
            const double out = b0 * in + z0[k];
            z0[k] = b1 * in + z1[k] - a1 * out;
            z1[k] = b2 * in + z2[k] - a2 * out;
            z2[k] = b3 * in + z3[k] - a3 * out;
            z3[k] = b4 * in + z4[k] - a4 * out;
            z4[k] = b5 * in + z5[k] - a5 * out;
            z5[k] = b6 * in - a6 * out;
            column[k] = out;
        }
    }
}

}  // namespace

// ERB band edges from 50 Hz to 0.9 of the Nyquist frequency; band b spans edges b .. b + 2 and
// weighs the spectrum with a triangle that peaks at its centre bin. The taps
// (bin, weight) of every band, in the order they are summed, are tabulated
// once per layout.
void Onsets::buildBandLayout(double srate, unsigned int N, unsigned int B) {
    const double lowErb = 1.8329474941504185;  // hz2erb(50)
    const double highErb = hz2erb(kBandTopShareOfNyquist * srate * 0.5);
    const double step = (highErb - lowErb) / (B + 1);
    std::vector<double> edges(B + 2);
    for (unsigned int l = 0; l <= B; ++l) edges[l] = erb2hz(lowErb + l * step);
    edges[B + 1] = erb2hz(highErb);
    bandTapStart_.assign(1, 0u);
    bandTapBin_.clear();
    bandTapWeight_.clear();
    for (unsigned int b = 0; b < B; ++b) {
        const int c = static_cast<int>(roundHalfUp(edges[b + 1] / srate * N));
        const int lo = std::min(static_cast<int>(roundHalfUp(edges[b] / srate * N)), c - 1);
        const int hi = std::max(static_cast<int>(roundHalfUp(edges[b + 2] / srate * N)), c + 1);
        for (int k = 0; k <= c - lo; ++k) {
            bandTapBin_.push_back(static_cast<unsigned int>(lo + k));
            bandTapWeight_.push_back(static_cast<double>(k) / (c - lo));
        }
        for (int k = 1; k <= hi - c; ++k) {
            bandTapBin_.push_back(static_cast<unsigned int>(c + k));
            bandTapWeight_.push_back(1.0 - static_cast<double>(k) / (hi - c));
        }
        bandTapStart_.push_back(static_cast<unsigned int>(bandTapBin_.size()));
    }
    bandBins_ = 0;
    for (unsigned int bin : bandTapBin_) bandBins_ = std::max(bandBins_, bin + 1);
    TM_PRECONDITION(bandBins_ <= N / 2, "band taps below the Nyquist bin");
    bandLayoutRate_ = srate;
    bandLayoutN_ = N;
    bandLayoutBands_ = B;
}

// Compressed power of every band, doubled (the up-sampling gain): each band's
// weighted squares summed in tap order. Four bands' sums run side by side,
// so that their chains of additions overlap.
void Onsets::bandPowers(const double* magnitude, double* column, unsigned int B) const {
    const unsigned int* start = bandTapStart_.data();
    const unsigned int* bin = bandTapBin_.data();
    const double* weight = bandTapWeight_.data();
    auto store = [column](unsigned int b, double P) {
        const double compressed = std::log(1.0 + 100.0 * P) * 0.21667906533553166;
        column[b] = 2.0 * compressed;
    };
    unsigned int b = 0;
    for (; b + 4 <= B; b += 4) {
        const unsigned int t0 = start[b], t1 = start[b + 1], t2 = start[b + 2], t3 = start[b + 3];
        const unsigned int n0 = t1 - t0, n1 = t2 - t1, n2 = t3 - t2, n3 = start[b + 4] - t3;
        const unsigned int common = std::min(std::min(n0, n1), std::min(n2, n3));
        double P0 = 0.0, P1 = 0.0, P2 = 0.0, P3 = 0.0;
        for (unsigned int i = 0; i < common; ++i) {
            const double v0 = weight[t0 + i] * magnitude[bin[t0 + i]];
            const double v1 = weight[t1 + i] * magnitude[bin[t1 + i]];
            const double v2 = weight[t2 + i] * magnitude[bin[t2 + i]];
            const double v3 = weight[t3 + i] * magnitude[bin[t3 + i]];
            P0 += v0 * v0;
            P1 += v1 * v1;
            P2 += v2 * v2;
            P3 += v3 * v3;
        }
        auto finish = [&](unsigned int t, unsigned int n, double P) {
            for (unsigned int i = common; i < n; ++i) {
                const double v = weight[t + i] * magnitude[bin[t + i]];
                P += v * v;
            }
            return P;
        };
        store(b, finish(t0, n0, P0));
        store(b + 1, finish(t1, n1, P1));
        store(b + 2, finish(t2, n2, P2));
        store(b + 3, finish(t3, n3, P3));
    }
    for (; b < B; ++b) {
        double P = 0.0;
        for (unsigned int t = start[b]; t < start[b + 1]; ++t) {
            const double v = weight[t] * magnitude[bin[t]];
            P += v * v;
        }
        store(b, P);
    }
}

bool Onsets::meterFFTenvs(Matrix<double>& envs, std::vector<double>& accents, double& envRate,
                          std::vector<double>& samples, double srate) {
    const RateRow* row = findRate(srate);
    if (!row) printSupportedRates();
    TM_PRECONDITION(row != nullptr, "supported sampling rate");
    const unsigned int N = row->frameLength;
    const unsigned int hop = N / 2;
    const unsigned int B = row->bands;
    if (samples.size() < N) return false;
    const std::size_t F = (samples.size() - N) / hop + 1;
    const std::size_t T = 2 * F;  // envelope columns of this run

    // Only a direct call at another rate can meet a mismatched window or state.
    if (window_.size() != N) buildWindow(N);
    if (filterState_.nRows() != 6 || filterState_.nCols() != B) filterState_ = Matrix<double>(6, B);

    // Samples are cleaned as they are folded into the statistics; those
    // before (folded by the previous run) and after the last frame here.
    const std::size_t framesEnd = N + hop * (F - 1);
    std::size_t nextUnfolded = std::min<std::size_t>(bufferFolded_, samples.size());
    for (std::size_t i = 0; i < nextUnfolded; ++i) samples[i] = cleanSample(samples[i]);
    for (std::size_t i = framesEnd; i < samples.size(); ++i) samples[i] = cleanSample(samples[i]);

    if (bandLayoutRate_ != srate || bandLayoutN_ != N || bandLayoutBands_ != B)
        buildBandLayout(srate, N, B);
    if (spectrum_.size() != N) spectrum_ = FastRealFft(N);

    // The run is worked on column by column (T x B, columns_[t B + b]): the
    // bands' filters and differences then run side by side.
    columns_.assign(T * B, 0.0);

    // Band powers per frame, compressed and up-sampled by two (odd columns stay 0).
    magnitudes_.resize(bandBins_);
    const double inverseSqrtN = 1.0 / std::sqrt(static_cast<double>(N));
    for (std::size_t f = 0; f < F; ++f) {
        const std::size_t start = hop * f;
        // Statistics over every sample up to this frame's end, each counted
        // once: the normalisation of a frame then does not depend on how the
        // audio was cut into blocks.
        if (nextUnfolded < start + N) {
            cleanAndFoldSamples(samples.data() + nextUnfolded, start + N - nextUnfolded);
            nextUnfolded = start + N;
        }
        const double* frame = samples.data() + start;
        if (std::sqrt(variance_) == 0.0) {
            // Nothing but a constant so far: analyse a faint seeded noise instead.
            if (noise_.size() != N) {
                std::vector<std::uint32_t> r;
                seededRandSequence(13, N, r);
                noise_.resize(N);
                for (unsigned int i = 0; i < N; ++i)
                    noise_[i] = (-static_cast<double>(r[i]) / 2147483648.0 - 0.5) * 1e-5;
            }
            cleanAndFoldSamples(noise_.data(), N);
            frame = noise_.data();
        }
        const double m = mean_;
        const double sigma = std::sqrt(variance_);

        const double inverseSigma = 1.0 / sigma;
        double* windowed = spectrum_.input();
        for (unsigned int i = 0; i < N; ++i)
            windowed[i] = (frame[i] - m) * window_[i] * inverseSigma;
        const double* X = spectrum_.transform();
        binMagnitudes(X, bandBins_, inverseSqrtN, magnitudes_.data());  // of the bins the bands use
        bandPowers(magnitudes_.data(), columns_.data() + 2 * f * B, B);
    }
    // The next run starts with this run's last hop samples, already folded.
    bufferFolded_ = N - hop;

    envRate = 2.0 * srate / hop;
    const double keep = 1.0 - 0.9;
    const double g = 0.9 * (0.5 * envRate / 10.0);

    // Low-pass per band with carried state; the zero-input continuation
    // over the next G samples becomes the predicted tail.
    if (10.0 / (0.5 * envRate) < 1.0) {
        const double Wn = 10.0 / (0.5 * envRate);
        if (Wn != designWn_) {
            butter6stored(lowpassB_, lowpassA_, Wn);
            impulsePeak_ = grpDelayAverage(lowpassB_, lowpassA_, 199);
            designWn_ = Wn;
        }
        groupDelay_ = static_cast<unsigned int>(std::max(0, impulsePeak_ + 1 - 2));
    } else {
        groupDelay_ = 0;
    }
    const unsigned int G = groupDelay_;
    if (tail_.nRows() != B || tail_.nCols() != G) tail_ = Matrix<double>(B, G);
    // The tail, G x B like the columns while it is worked on.
    tailColumns_.assign(static_cast<std::size_t>(G) * B, 0.0);
    if (10.0 / (0.5 * envRate) < 1.0) {
        lowpassColumns(lowpassB_, lowpassA_, filterState_.data(), columns_.data(), T, B);
        if (G > 0) {
            // The continuation runs on a copy: the kept state is the real one.
            state_.assign(filterState_.data(), filterState_.data() + filterState_.nElems());
            lowpassColumns(lowpassB_, lowpassA_, state_.data(), tailColumns_.data(), G, B);
        }
    }

    // Half-wave rectification.
    for (double& v : columns_) v = std::max(0.0, v);
    for (double& v : tailColumns_) v = std::max(0.0, v);

    // The previous run's last column was differenced against a predicted
    // successor; now that the real one is known, finish it.
    const bool correct = havePrevious_ && previousLast_.size() == B;
    if (correct) {
        const bool bandsStored = !bandHistoryIsPlaceholder() && bandHistory_.nRows() == B;
        const unsigned int last = bandHistory_.nCols() - 1;
        double sum = 0.0;
        for (unsigned int b = 0; b < B; ++b) {
            const double p = previousLast_[b];
            const double v = keep * p + g * std::max(0.0, columns_[b] - p);
            if (bandsStored) bandHistory_[b][last] = v;
            sum += v;
        }
        if (!accentHistoryIsPlaceholder() && !accentHistory_.empty()) accentHistory_.back() = sum;
    }
    previousLast_.assign(columns_.end() - B, columns_.end());
    havePrevious_ = true;

    // Weighted, half-wave-rectified first difference, forward and in place;
    // the block's last value takes the first tail value as its successor.
    auto difference = [keep, g](double* __restrict now, const double* __restrict next,
                                unsigned count) {
        for (unsigned b = 0; b < count; ++b)
            now[b] = keep * now[b] + g * std::max(0.0, next[b] - now[b]);
    };
    for (std::size_t t = 0; t + 1 < T; ++t)
        difference(columns_.data() + t * B, columns_.data() + (t + 1) * B, B);
    double* lastColumn = columns_.data() + (T - 1) * B;
    if (G > 0) {
        difference(lastColumn, tailColumns_.data(), B);
        for (unsigned int m = 0; m + 1 < G; ++m)
            difference(tailColumns_.data() + m * B, tailColumns_.data() + (m + 1) * B, B);
        double* tailEnd = tailColumns_.data() + (G - 1) * B;
        for (unsigned int b = 0; b < B; ++b) tailEnd[b] = keep * tailEnd[b];
    } else {
        // Its own successor: the difference is zero.
        for (unsigned int b = 0; b < B; ++b)
            lastColumn[b] = keep * lastColumn[b] + g * std::max(0.0, lastColumn[b] - lastColumn[b]);
    }

    accents.resize(T);
    for (std::size_t t = 0; t < T; ++t) {
        const double* column = columns_.data() + t * B;
        double sum = 0.0;
        for (unsigned int b = 0; b < B; ++b) sum += column[b];
        accents[t] = sum;
    }

    // Back to one row per band.
    if (envs.nRows() != B || envs.nCols() != T)
        envs = Matrix<double>(B, static_cast<unsigned int>(T));
    for (unsigned int b = 0; b < B; ++b) {
        double* e = envs[b];
        for (std::size_t t = 0; t < T; ++t) e[t] = columns_[t * B + b];
        double* tail = tail_[b];
        for (unsigned int m = 0; m < G; ++m) tail[m] = tailColumns_[m * B + b];
    }
    return correct;
}

bool Onsets::bandHistoryIsPlaceholder() const {
    return bandHistory_.nRows() == 1 && bandHistory_.nCols() == 1;
}

bool Onsets::accentHistoryIsPlaceholder() const {
    return accentHistory_.size() == 1 && accentHistory_[0] == -1.0;
}

void Onsets::appendToHistories(const Matrix<double>& envs, const std::vector<double>& accents) {
    if (accentHistoryIsPlaceholder())
        accentHistory_ = accents;
    else
        accentHistory_.insert(accentHistory_.end(), accents.begin(), accents.end());

    if (bandHistoryIsPlaceholder()) {
        bandHistory_ = envs;
        return;
    }
    const unsigned int K = bandHistory_.nCols();
    bandHistory_.resize(bandHistory_.nRows(), K + envs.nCols(), 0.0);
    for (unsigned int b = 0; b < envs.nRows(); ++b)
        std::copy(envs[b], envs[b] + envs.nCols(), bandHistory_[b] + K);
}

bool Onsets::getBandEnvs(Matrix<double>& out, unsigned int start) {
    if (bandHistoryIsPlaceholder()) return false;  // nothing analysed yet
    const unsigned int K = bandHistory_.nCols();
    const unsigned int first = firstColumn_;
    const unsigned int end = first + K;
    const unsigned int G = groupDelay_;
    if (G >= K || start >= end || start < first) return false;

    const unsigned int B = bandHistory_.nRows();
    const unsigned int columns = end - start;
    if (out.nRows() != B || out.nCols() != columns) out = Matrix<double>(B, columns);
    // Column k is time start + k: the stored column G later, or, for the
    // newest G times, the predicted tail.
    for (unsigned int b = 0; b < B; ++b) {
        const double* history = bandHistory_[b];
        double* o = out[b];
        for (unsigned int k = 0; k < columns; ++k) {
            const unsigned int t = start + k;
            o[k] = t + G < end ? history[t + G - first] : tail_[b][t + G - end];
        }
    }
    return true;
}

bool Onsets::clearBandEnvs(unsigned int start, bool alsoAccents) {
    if (alsoAccents) {
        const unsigned int a0 = accentFirstColumn_;
        const std::size_t La = accentHistory_.size();
        if (a0 < start && start < a0 + La) {
            accentHistory_.erase(accentHistory_.begin(), accentHistory_.begin() + (start - a0));
            accentFirstColumn_ = start;
        }
    }
    const unsigned int K = bandHistory_.nCols();
    const unsigned int first = firstColumn_;
    if (start >= first + K) return false;
    if (start <= first) return true;

    const unsigned int shift = start - first;
    const unsigned int B = bandHistory_.nRows();
    Matrix<double> remaining(B, K - shift);
    for (unsigned int b = 0; b < B; ++b)
        std::copy(bandHistory_[b] + shift, bandHistory_[b] + K, remaining[b]);
    bandHistory_ = std::move(remaining);
    firstColumn_ = start;
    return true;
}

unsigned int Onsets::columnEndAfterProcess() const {
    const unsigned int stored =
        bandHistoryIsPlaceholder() ? firstColumn_ : firstColumn_ + bandHistory_.nCols();
    const std::size_t N = window_.size();
    if (bufferEmpty_ || !newData_ || buffer_.size() < N) return stored;
    const std::size_t frames = (buffer_.size() - N) / (N / 2) + 1;
    return stored + static_cast<unsigned int>(2 * frames);
}

double Onsets::getAccentSrate() const {
    const RateRow* row = findRate(srate_);
    if (!row) printSupportedRates();
    TM_PRECONDITION(row != nullptr, "supported sampling rate");
    return 4.0 * srate_ / row->frameLength;
}

void Onsets::getMeanAndStd(double& mean, double& std, std::vector<double>& samples) {
    for (double v : samples) foldSample(v);
    mean = mean_;
    std = std::sqrt(variance_);
}

bool Onsets::accentFix(std::vector<double>& accents) {
    if (accentHistoryIsPlaceholder()) return false;  // nothing analysed yet
    const std::size_t a0 = accentFirstColumn_;
    const std::size_t a = a0 + accentHistory_.size();
    const unsigned int G = groupDelay_;
    if (G >= a) return false;

    accents.assign(a0, 0.0);
    accents.insert(accents.end(), accentHistory_.begin(), accentHistory_.end());
    for (std::size_t t = 0; t + G < a; ++t) accents[t] = accents[t + G];
    for (unsigned int l = 0; l < G; ++l) {
        double sum = 0.0;
        for (unsigned int b = 0; b < tail_.nRows(); ++b) sum += tail_[b][l];
        accents[a - G + l] = sum;
    }
    return true;
}

bool Onsets::getAccents(std::vector<double>& accents, unsigned int start) {
    if (!accentFix(accents)) return false;
    if (start >= accents.size()) return false;
    accents.erase(accents.begin(), accents.begin() + start);
    return true;
}

bool Onsets::getOnsets(std::vector<double>& times, const double& scale, double threshold) {
    std::vector<double> accents;
    if (!accentFix(accents)) return false;
    std::vector<unsigned int> onsets;
    detectOnsets(onsets, accents, envRate_, srate_, threshold);
    times.resize(onsets.size());
    for (std::size_t i = 0; i < onsets.size(); ++i) times[i] = onsets[i] / envRate_ * scale;
    return true;
}

void Onsets::detectOnsets(std::vector<unsigned int>& onsets, const std::vector<double>& accents,
                          const double& envRate, double srate, double threshold) {
    auto near = [srate](double rate) { return std::fabs(srate - rate) < 0.01; };
    if (near(44100.0) || near(32000.0)) {
    } else if (near(22050.0) || near(16000.0)) {
        threshold /= 2.0;
    } else if (near(8000.0)) {
        threshold /= 3.5;
    } else {
        printSupportedRates();
    }

    onsets.clear();
    const std::vector<double>& a = accents;
    const std::size_t L = a.size();
    std::vector<unsigned int> peaks;  // strict local maxima above the threshold
    if (L == 1) {
        if (a[0] > threshold) peaks.push_back(0);
    } else if (L >= 2) {
        if (a[0] > threshold && a[0] > a[1]) peaks.push_back(0);
        for (std::size_t t = 1; t + 1 < L; ++t)
            if (a[t] > threshold && a[t] > a[t - 1] && a[t] > a[t + 1])
                peaks.push_back(static_cast<unsigned int>(t));
        if (a[L - 1] > threshold && a[L - 1] > a[L - 2])
            peaks.push_back(static_cast<unsigned int>(L - 1));
    }
    if (peaks.empty()) return;

    // Salience: height over the valley since the previous peak, plus the mean valley.
    const std::size_t n = peaks.size();
    std::vector<double> salience(n);
    salience[0] = a[peaks[0]];
    if (n > 1) {
        double valleySum = 0.0;
        for (std::size_t j = 1; j < n; ++j) {
            const double valley =
                *std::min_element(a.begin() + peaks[j - 1], a.begin() + peaks[j] + 1);
            salience[j] = a[peaks[j]] - valley;
            valleySum += valley;
        }
        const double meanValley = valleySum / (n - 1);
        for (std::size_t j = 1; j < n; ++j) salience[j] += meanValley;
    }

    // A peak stays unless it is too weak or a stronger one lies within 0.085 s.
    auto close = [&](std::size_t j, std::size_t k) {
        const double gap = peaks[j] > peaks[k] ? peaks[j] - peaks[k] : peaks[k] - peaks[j];
        return gap / envRate < 0.085;
    };
    for (std::size_t j = 0; j < n; ++j) {
        bool keep = salience[j] >= threshold;
        for (std::size_t k = j; keep && k > 0 && close(j, k - 1); --k)
            if (salience[k - 1] > salience[j]) keep = false;
        for (std::size_t k = j + 1; keep && k < n && close(j, k); ++k)
            if (salience[k] > salience[j]) keep = false;
        if (keep) onsets.push_back(peaks[j]);
    }
}

void Onsets::freqBands(std::vector<double>& edges, double low, double high, int count) {
    if (count < 0) return;
    if (edges.size() < static_cast<std::size_t>(count) + 1) edges.resize(count + 1);
    if (count > 0) {
        const double lowErb = hz2erb(low);
        const double step = (hz2erb(high) - lowErb) / count;
        for (int l = 0; l < count; ++l) edges[l] = erb2hz(lowErb + l * step);
    }
    edges[count] = high;
}

void Onsets::butter6stored(std::vector<double>& b, std::vector<double>& a, double Wn) {
    b.assign(7, 0.0);
    a.assign(7, 0.0);
    for (const LowpassRow& row : kLowpassRows) {
        if (std::fabs(Wn - row.nominal) < 0.01) {
            for (int i = 0; i < 4; ++i) b[i] = b[6 - i] = row.b[i];
            a[0] = 1.0;
            for (int i = 0; i < 6; ++i) a[i + 1] = row.a[i];
            return;
        }
    }
    b[0] = 1.0;
    a[0] = 1.0;
    std::cerr << "Unknown cutoff frequency." << std::endl;
}

int Onsets::grpDelayAverage(const std::vector<double>& b, const std::vector<double>& a,
                            int length) {
    if (length <= 0) return 0;
    std::vector<double> impulse(length, 0.0);
    impulse[0] = 1.0;
    std::vector<double> response(length);
    filter(b, a, impulse, response);
    int peak = 0;
    double best = 0.0;
    for (int i = 0; i < length; ++i) {
        if (response[i] > best) {
            best = response[i];
            peak = i;
        }
    }
    return peak;
}

double Onsets::hz2erb(double hz) {
    return 21.365541873789756 * std::log10(1.0 + 4.368 * hz / 1000.0);
}

double Onsets::erb2hz(double erb) {
    return (std::pow(10.0, erb / 21.365541873789756) - 1.0) * 1000.0 / 4.368;
}

double Onsets::roundHalfUp(double x) {
    const double f = std::floor(x);
    return x - f < 0.5 ? f : std::ceil(x);
}
