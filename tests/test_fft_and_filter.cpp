// FFT and IIR filter against numpy/scipy, block-wise filtering, and the
// precondition stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "fastRealFft.h"
#include "fft_and_filter.h"
#include "oracle_data.h"
#include "realFft.h"

namespace {

double maxAbs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

void expectNear(const std::vector<double>& got, const std::vector<double>& want, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], tol) << "at " << i;
}

class FftOracle : public ::testing::TestWithParam<int> {};

TEST_P(FftOracle, MatchesNumpyForwardAndInverse) {
    const auto data = oracle::read("fft_" + std::to_string(GetParam()) + ".txt");
    ASSERT_EQ(data.size(), 3u);
    const double tol = 1e-12 * std::max(1.0, maxAbs(data[1]));

    std::vector<double> forward = data[0];
    fft(forward, -1);
    expectNear(forward, data[1], tol);

    std::vector<double> inverse = data[0];
    fft(inverse, 1);
    expectNear(inverse, data[2], tol);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FftOracle, ::testing::Values(1, 2, 4, 8, 64, 1024));

class RealFftOracle : public ::testing::TestWithParam<int> {};

TEST_P(RealFftOracle, MatchesNumpyAndTheComplexTransform) {
    const auto data = oracle::read("rfft_" + std::to_string(GetParam()) + ".txt");
    ASSERT_EQ(data.size(), 3u);
    const unsigned n = static_cast<unsigned>(data[0].size());
    ASSERT_EQ(data[1].size(), n / 2 + 1);
    const double tol = 1e-12 * std::max(1.0, std::max(maxAbs(data[1]), maxAbs(data[2])));

    RealFft transform(n);
    std::vector<double> re(n / 2 + 1, -7.0), im(n / 2 + 1, -7.0);
    transform.forward(data[0].data(), re.data(), im.data());
    expectNear(re, data[1], tol);
    expectNear(im, data[2], tol);

    // Same bins from the general transform of the samples as complex values.
    std::vector<double> packed(2 * n, 0.0);
    for (unsigned i = 0; i < n; ++i) packed[2 * i] = data[0][i];
    fft(packed, -1);
    for (unsigned k = 0; k <= n / 2; ++k) {
        ASSERT_NEAR(re[k], packed[2 * k], tol) << k;
        ASSERT_NEAR(im[k], packed[2 * k + 1], tol) << k;
    }

    // A second run over the same samples gives the same bins: no state is kept.
    std::vector<double> re2(n / 2 + 1), im2(n / 2 + 1);
    transform.forward(data[0].data(), re2.data(), im2.data());
    EXPECT_EQ(re, re2);
    EXPECT_EQ(im, im2);
}
INSTANTIATE_TEST_SUITE_P(Sizes, RealFftOracle, ::testing::Values(4, 8, 64, 1024, 2048));

TEST(RealFft, CosineLandsInItsBin) {
    const unsigned n = 1024;
    std::vector<double> x(n);
    for (unsigned i = 0; i < n; ++i) x[i] = std::cos(2.0 * M_PI * 37.0 * i / n) + 0.25;
    RealFft transform(n);
    std::vector<double> re(n / 2 + 1), im(n / 2 + 1);
    transform.forward(x.data(), re.data(), im.data());
    for (unsigned k = 0; k <= n / 2; ++k) {
        const double magnitude = std::hypot(re[k], im[k]);
        const double want = k == 37 ? n / 2.0 : (k == 0 ? n / 4.0 : 0.0);
        ASSERT_NEAR(magnitude, want, 1e-9) << k;
    }
}

// The front end's fast transform (FFTW when built with it) against numpy and
// against the tabulated RealFft, the reference it replaces.
class FastRealFftOracle : public ::testing::TestWithParam<int> {};

TEST_P(FastRealFftOracle, MatchesNumpyAndTheReferenceTransform) {
    const auto data = oracle::read("rfft_" + std::to_string(GetParam()) + ".txt");
    ASSERT_EQ(data.size(), 3u);
    const unsigned n = static_cast<unsigned>(data[0].size());
    const double scale = std::max(1.0, std::max(maxAbs(data[1]), maxAbs(data[2])));

    FastRealFft fast(n);
    std::vector<double> re(n / 2 + 1, -7.0), im(n / 2 + 1, -7.0);
    fast.forward(data[0].data(), re.data(), im.data());
    expectNear(re, data[1], 1e-12 * scale);
    expectNear(im, data[2], 1e-12 * scale);
    EXPECT_EQ(im[0], 0.0);
    EXPECT_EQ(im[n / 2], 0.0);

    RealFft reference(n);
    std::vector<double> refRe(n / 2 + 1), refIm(n / 2 + 1);
    reference.forward(data[0].data(), refRe.data(), refIm.data());
    // Both round differently, by a few units in the last place of the largest bin.
    expectNear(re, refRe, 1e-14 * scale);
    expectNear(im, refIm, 1e-14 * scale);
}
INSTANTIATE_TEST_SUITE_P(Sizes, FastRealFftOracle, ::testing::Values(4, 8, 64, 1024, 2048));

TEST(FastRealFft, AgreesWithTheReferenceOnFramesLikeTheFrontEnds) {
    // Windowed, normalised noise bursts of every size the front end uses,
    // and larger ones; many frames through one object.
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (unsigned n : {256u, 512u, 1024u, 4096u}) {
        SCOPED_TRACE("N = " + std::to_string(n));
        FastRealFft fast(n);
        RealFft reference(n);
        std::vector<double> x(n), re(n / 2 + 1), im(n / 2 + 1), refRe(n / 2 + 1), refIm(n / 2 + 1);
        for (int frame = 0; frame < 20; ++frame) {
            const double level = std::pow(10.0, frame % 7 - 3);
            for (unsigned i = 0; i < n; ++i)
                x[i] = level * noise(rng) * (0.5 - 0.5 * std::cos(2.0 * M_PI * (i + 1) / (n + 1)));
            fast.forward(x.data(), re.data(), im.data());
            reference.forward(x.data(), refRe.data(), refIm.data());
            const double scale = std::max(maxAbs(refRe), maxAbs(refIm));
            expectNear(re, refRe, 1e-13 * scale);
            expectNear(im, refIm, 1e-13 * scale);
        }
    }
}

TEST(FastRealFft, TransformingItsOwnInputGivesTheSameBinsInterleaved) {
    for (unsigned n : {4u, 64u, 1024u}) {
        std::vector<double> x(n);
        for (unsigned i = 0; i < n; ++i) x[i] = std::sin(0.7 * i) + (i % 3 == 0 ? 0.5 : -0.2);
        FastRealFft fast(n);
        std::vector<double> re(n / 2 + 1), im(n / 2 + 1);
        fast.forward(x.data(), re.data(), im.data());
        std::copy(x.begin(), x.end(), fast.input());
        const double* out = fast.transform();
        for (unsigned k = 0; k <= n / 2; ++k) {
            ASSERT_EQ(out[2 * k], re[k]) << "n " << n << " bin " << k;
            ASSERT_EQ(out[2 * k + 1], im[k]) << "n " << n << " bin " << k;
        }
    }
}

TEST(FastRealFft, CopiesAndMovesTransformOnTheirOwn) {
    const unsigned n = 1024;
    std::vector<double> x(n), y(n);
    for (unsigned i = 0; i < n; ++i) {
        x[i] = std::sin(0.37 * i) + 0.1 * std::cos(1.3 * i);
        y[i] = std::cos(0.05 * i * i / n);
    }
    FastRealFft original(n);
    std::vector<double> wantX(n / 2 + 1), wantXi(n / 2 + 1), wantY(n / 2 + 1), wantYi(n / 2 + 1);
    original.forward(x.data(), wantX.data(), wantXi.data());
    original.forward(y.data(), wantY.data(), wantYi.data());

    FastRealFft copy(original);
    FastRealFft assigned(8);
    assigned = original;
    FastRealFft moved(std::move(copy));
    EXPECT_EQ(assigned.size(), n);
    EXPECT_EQ(moved.size(), n);
    std::vector<double> re(n / 2 + 1), im(n / 2 + 1), re2(n / 2 + 1), im2(n / 2 + 1);
    // Interleaved use of two objects: neither sees the other's samples.
    assigned.forward(x.data(), re.data(), im.data());
    moved.forward(y.data(), re2.data(), im2.data());
    EXPECT_EQ(re, wantX);
    EXPECT_EQ(im, wantXi);
    EXPECT_EQ(re2, wantY);
    EXPECT_EQ(im2, wantYi);
}

using RealFftDeathTest = ::testing::Test;

TEST_F(RealFftDeathTest, SizeMustBeAPowerOfTwo) {
    EXPECT_DEATH(RealFft(1000), "N is a power of two, at least 4");
    EXPECT_DEATH(RealFft(2), "N is a power of two, at least 4");
    EXPECT_DEATH(FastRealFft(1000), "N is a power of two, at least 4");
    EXPECT_DEATH(FastRealFft(2), "N is a power of two, at least 4");
}

TEST(Fft, TooShortVectorsAreLeftAlone) {
    std::vector<double> empty;
    fft(empty, -1);
    EXPECT_TRUE(empty.empty());
    std::vector<double> one{3.5};
    fft(one, -1);
    EXPECT_EQ(one, std::vector<double>{3.5});
}

TEST(Fft, ImpulseConstantAndRoundTrip) {
    const int N = 16;
    std::vector<double> impulse(2 * N, 0.0);
    impulse[0] = 1.0;
    fft(impulse, -1);
    for (int k = 0; k < N; ++k) {
        EXPECT_DOUBLE_EQ(impulse[2 * k], 1.0);
        EXPECT_DOUBLE_EQ(impulse[2 * k + 1], 0.0);
    }

    std::vector<double> constant(2 * N, 0.0);
    for (int k = 0; k < N; ++k) constant[2 * k] = 1.0;
    fft(constant, -1);
    EXPECT_NEAR(constant[0], N, 1e-12);
    for (int k = 1; k < 2 * N; ++k) EXPECT_NEAR(constant[k], 0.0, 1e-12) << k;

    std::vector<double> x(2 * N);
    std::iota(x.begin(), x.end(), -5.0);
    std::vector<double> y = x;
    fft(y, -1);
    fft(y, 1);
    for (int i = 0; i < 2 * N; ++i) EXPECT_NEAR(y[i], N * x[i], 1e-10);
}

const char* kFilterCases[] = {"butter6", "butter2_high", "fir", "allpole", "longer_a"};

class FilterOracle : public ::testing::TestWithParam<const char*> {};

TEST_P(FilterOracle, OnePieceMatchesLfilter) {
    const auto d = oracle::read(std::string("filter_") + GetParam() + ".txt");
    const auto &b = d[0], &a = d[1], &x = d[2], &y_ref = d[3], &z_ref = d[4];

    std::vector<double> y(x.size(), 123.0);  // stale contents must not leak in
    filter(b, a, x, y);
    expectNear(y, y_ref, 1e-10);

    std::vector<double> z(z_ref.size(), 0.0), y2(x.size());
    filter(b, a, x, y2, z);
    expectNear(y2, y_ref, 1e-10);
    expectNear(z, z_ref, 1e-10);
}

// Blocks of every size, including blocks shorter than the state, must give
// the one-piece output and final state. The block-wise path adds the carried
// state in a different order than the one-piece recursion, so the results
// agree to rounding (1e-12 relative), not bit for bit.
TEST_P(FilterOracle, BlockwiseWithStateEqualsOnePiece) {
    const auto d = oracle::read(std::string("filter_") + GetParam() + ".txt");
    const auto &b = d[0], &a = d[1], &x = d[2], &y_ref = d[3], &z_ref = d[4];
    const double tol = 1e-12 * std::max(1.0, maxAbs(y_ref));

    for (std::size_t blockSize : {1u, 2u, 3u, 7u, 128u, 999u}) {
        std::vector<double> z(z_ref.size(), 0.0), y;
        for (std::size_t start = 0; start < x.size(); start += blockSize) {
            const std::size_t n = std::min(blockSize, x.size() - start);
            std::vector<double> xb(x.begin() + start, x.begin() + start + n), yb(n);
            filter(b, a, xb, yb, z);
            y.insert(y.end(), yb.begin(), yb.end());
        }
        SCOPED_TRACE(blockSize);
        expectNear(y, y_ref, tol);
        expectNear(z, z_ref, tol);
    }
}

INSTANTIATE_TEST_SUITE_P(Designs, FilterOracle, ::testing::ValuesIn(kFilterCases));

// With small integer data and coefficients every operation is exact, so the
// block-wise and one-piece results must agree bit for bit.
TEST(Filter, BlockwiseIsExactWhenArithmeticIsExact) {
    const std::vector<double> b{1, 2, -1}, a{1, -1, 0.5};
    std::vector<double> x(40);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>((i * 7) % 5) - 2.0;
    std::vector<double> whole(x.size()), z0(2, 0.0);
    filter(b, a, x, whole, z0);

    std::vector<double> z(2, 0.0), y;
    for (std::size_t start = 0; start < x.size(); start += 3) {
        const std::size_t n = std::min<std::size_t>(3, x.size() - start);
        std::vector<double> xb(x.begin() + start, x.begin() + start + n), yb(n);
        filter(b, a, xb, yb, z);
        y.insert(y.end(), yb.begin(), yb.end());
    }
    EXPECT_EQ(y, whole);
    EXPECT_EQ(z, z0);
}

TEST(Filter, StateLongerThanBlockShiftsDown) {
    // Pure delay of 4 samples: y[n] = x[n - 4]; state of length 4 carries the
    // pending samples, and a block of 1 sample moves the rest to the front.
    const std::vector<double> b{0, 0, 0, 0, 1}, a{1};
    std::vector<double> z{10, 20, 30, 40};
    std::vector<double> x{5}, y(1);
    filter(b, a, x, y, z);
    EXPECT_EQ(y, std::vector<double>{10});
    EXPECT_EQ(z, (std::vector<double>{20, 30, 40, 5}));
}

TEST(Filter, FirAndPureGainCases) {
    std::vector<double> x{1, 2, 3, 4}, y(4);
    filter({2.0}, {1.0}, x, y);  // nb = 1, na = 1: a plain gain
    EXPECT_EQ(y, (std::vector<double>{2, 4, 6, 8}));
    filter({1.0}, {1.0, -0.5}, x, y);  // nb = 1: b[0] x[n] plus feedback
    EXPECT_EQ(y, (std::vector<double>{1, 2.5, 4.25, 6.125}));
}

TEST(FilterImp, AddsOntoExistingOutput) {
    std::vector<double> x{1, 0, 0}, y{0, 1, 0};
    filter_imp({1.0}, {1.0, -0.5}, x, y);
    // The pre-loaded 1 at index 1 propagates through the feedback.
    EXPECT_EQ(y, (std::vector<double>{1, 1.5, 0.75}));
}

using FilterDeathTest = ::testing::Test;

TEST_F(FilterDeathTest, PreconditionTexts) {
    std::vector<double> x{1, 2, 3}, shortY(2), empty, emptyY;
    std::vector<double> z(2);
    EXPECT_DEATH(filter({1.0}, {1.0}, x, shortY), "filter.*x_size == y.size\\(\\)");
    EXPECT_DEATH(filter({1.0}, {1.0}, x, shortY, z), "filter.*x_size == y.size\\(\\)");
    EXPECT_DEATH(filter_imp({1.0}, {1.0}, empty, emptyY), "filter_imp.*x_size != 0");
    EXPECT_DEATH(filter({1.0}, {1.0}, empty, emptyY, z), "filter_imp.*x_size != 0");
}

}  // namespace
