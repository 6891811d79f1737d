// The period model's free functions: log-normal density, peak picking, the
// period-ratio likelihood, period transition likelihoods and the Kronecker
// product, against hand-computed examples and numpy/scipy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <vector>

#include "Matrix.h"
#include "beatGivenTatum.h"
#include "kron.h"
#include "lognPdf.h"
#include "maxSearch.h"
#include "meterLogTransLikes.h"
#include "oracle_data.h"
#include "params.h"
#include "peakPickHeight.h"

using NumaMathLibrary::Matrix;
using namespace meterTracker;

namespace {

const double kSqrtTwoPi = 2.5066282746310002;

Matrix<double> fromRows(const std::vector<std::vector<double>>& rows) {
    Matrix<double> m(static_cast<unsigned>(rows.size()),
                     rows.empty() ? 0u : static_cast<unsigned>(rows[0].size()));
    for (unsigned i = 0; i < m.nRows(); ++i)
        for (unsigned j = 0; j < m.nCols(); ++j) m[i][j] = rows[i][j];
    return m;
}

// ------------------------------------------------------------- max search

TEST(MaxSearch, LowestIndexWinsAndNotANumberNeverWins) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<double> values;
        std::size_t index;
    };
    const std::vector<Case> cases{
        {{1, 3, 3, 2}, 1},   {{nan, 1, 2}, 2},        {{2, nan, 1}, 0}, {{nan, nan}, 0},
        {{-inf, -5}, 1},     {{-inf, -inf, nan}, 0},  {{}, 0},          {{4}, 0},
        {{-1, inf, inf}, 1}, {{nan, -inf, -3, -3}, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(firstMaxIndex(c.values.data(), c.values.size()), c.index);
        const MaxResult r =
            findFirstMax(c.values.size(), [&c](std::size_t i) { return c.values[i]; });
        EXPECT_EQ(r.index, c.index);
        EXPECT_FALSE(std::isnan(r.value));
    }
}

// ---------------------------------------------------------------- lognPdf

TEST(LognPdf, AtTheMedianIsTheModeFormula) {
    for (double myy : {0.18, 0.55, 2.1, 1.0})
        for (double sigma : {0.26, 0.28, 0.39, 1.0}) {
            double got;
            lognPdf(myy, myy, sigma, got);
            EXPECT_DOUBLE_EQ(got, 1.0 / (myy * sigma * kSqrtTwoPi)) << myy << " " << sigma;
        }
}

TEST(LognPdf, MatchesScipyOnAGrid) {
    const auto data = oracle::read("lognpdf.txt");
    ASSERT_EQ(data.size(), 9u);
    const std::vector<double>& x = data[0];
    for (int p = 0; p < 4; ++p) {
        const double myy = data[1 + p][0], sigma = data[1 + p][1];
        std::vector<double> out{42.0};  // stale contents must not survive
        lognPdf(x, myy, sigma, out);
        ASSERT_EQ(out.size(), x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            EXPECT_NEAR(out[i], data[5 + p][i], 1e-13 * std::max(1.0, data[5 + p][i]))
                << "x=" << x[i] << " myy=" << myy << " sigma=" << sigma;
            double single;
            lognPdf(x[i], myy, sigma, single);
            EXPECT_EQ(single, out[i]);  // both forms compute the same
        }
    }
}

// --------------------------------------------------------- peakPickHeight

struct PeakCase {
    std::vector<double> x;
    unsigned n;
    bool found;
    std::vector<unsigned> peaks;
};

void PrintTo(const PeakCase& c, std::ostream* os) {
    *os << "x of size " << c.x.size() << ", n " << c.n;
}

class PeakPick : public ::testing::TestWithParam<PeakCase> {};

TEST_P(PeakPick, PositionsByHeight) {
    const PeakCase& c = GetParam();
    std::vector<unsigned> peaks{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(peakPickHeight(c.x, c.n, peaks), c.found);
    EXPECT_EQ(peaks, c.peaks);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PeakPick,
    ::testing::Values(
        // The documented examples.
        PeakCase{{1, 3, 2, 5, 4}, 5, true, {3, 1, 5, 5, 5}},
        PeakCase{{2, 2, 2, 2}, 3, false, {4, 4, 4}}, PeakCase{{5}, 5, true, {0, 1, 1, 1, 1}},
        // Ends: the first and last element are peaks when above their one neighbour.
        PeakCase{{9, 1, 1, 8}, 2, true, {0, 3}},
        // Plateaus never count, even high ones.
        PeakCase{{0, 7, 7, 0, 3, 0}, 3, true, {4, 6, 6}},
        // Fewer slots than peaks: the highest win.
        PeakCase{{0, 1, 0, 4, 0, 2, 0, 3, 0}, 2, true, {3, 7}},
        // Equal heights: the lower position first.
        PeakCase{{0, 2, 0, 5, 0, 2, 0, 5, 0, 2}, 4, true, {3, 7, 1, 5}},
        PeakCase{{0, 2, 0, 2, 0, 2, 0}, 2, true, {1, 3}},
        // A NaN neighbour hides a peak (no comparison with NaN is true).
        PeakCase{{4, 3, std::numeric_limits<double>::quiet_NaN(), 0, 2, 0}, 3, true, {0, 4, 6}},
        // Negative values and infinities.
        PeakCase{{-5, -1, -3, std::numeric_limits<double>::infinity(), 0}, 3, true, {3, 1, 5}},
        // An empty curve has no peak; the mark is its size, 0.
        PeakCase{{}, 2, false, {0, 0}}));

TEST(PeakPick, ZeroCountLeavesPeaksUntouched) {
    std::vector<unsigned> peaks{9, 8};
    EXPECT_FALSE(peakPickHeight({1, 3, 2}, 0, peaks));
    EXPECT_EQ(peaks, (std::vector<unsigned>{9, 8}));
}

TEST(PeakPick, RandomCurvesAgreeWithASortOfAllPeaks) {
    std::srand(7);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> x(1 + std::rand() % 60);
        for (double& v : x) v = std::rand() % 9;  // many equal heights
        const unsigned n = 1 + std::rand() % 12;
        // Reference: every strict local maximum, by height, then by position.
        std::vector<unsigned> all;
        for (unsigned i = 0; i < x.size(); ++i)
            if ((i + 1 == x.size() || x[i] > x[i + 1]) && (i == 0 || x[i] > x[i - 1]))
                all.push_back(i);
        std::stable_sort(all.begin(), all.end(),
                         [&x](unsigned a, unsigned b) { return x[a] > x[b]; });
        std::vector<unsigned> want(n, static_cast<unsigned>(x.size()));
        for (unsigned i = 0; i < n && i < all.size(); ++i) want[i] = all[i];

        std::vector<unsigned> peaks;
        EXPECT_EQ(peakPickHeight(x, n, peaks), !all.empty());
        EXPECT_EQ(peaks, want) << "trial " << trial;
    }
}

TEST(PeakPick, CompareOrdersByTheFirstDouble) {
    const double a[2] = {1.0, 5.0}, b[2] = {2.0, 0.0}, c[2] = {1.0, 9.0};
    EXPECT_EQ(compare(a, b), -1);
    EXPECT_EQ(compare(b, a), 1);
    EXPECT_EQ(compare(a, c), 0);
}

// --------------------------------------------------------- beatGivenTatum

TEST(BeatGivenTatum, DocumentedExamples) {
    const Params params(44100);
    std::vector<double> out;
    beatGivenTatum({0.5, 0.6}, 0.25, 0.3, params.ratioWeights, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NEAR(out[0], 0.19122116009250853, 1e-12);
    EXPECT_NEAR(out[1], 0.09690405387193166, 1e-12);

    beatGivenTatum({0.5, 0.75, 1.0}, 0.25, 0.3, params.ratioWeights, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NEAR(out[0], 0.19122116009250853, 1e-12);
    EXPECT_NEAR(out[1], 0.1403436040346298, 1e-12);
    EXPECT_NEAR(out[2], 0.21821899583015172, 1e-12);
}

TEST(BeatGivenTatum, MatchesScipyGaussianMixture) {
    const Params params(44100);
    const auto data = oracle::read("ratio_likelihood.txt");
    ASSERT_EQ(data.size() % 3, 0u);
    for (std::size_t c = 0; c < data.size(); c += 3) {
        std::vector<double> out(50, -1.0);
        beatGivenTatum(data[c + 1], data[c][0], params.ratioSigma, params.ratioWeights, out);
        ASSERT_EQ(out.size(), data[c + 2].size());
        for (std::size_t j = 0; j < out.size(); ++j)
            EXPECT_NEAR(out[j], data[c + 2][j], 1e-13) << "given " << data[c][0] << " j " << j;
    }
}

TEST(BeatGivenTatum, WeightsCountOnlyThroughTheirShare) {
    // Scaling all weights changes nothing; weights beyond the ninth only
    // enter the normalisation.
    const Params params(44100);
    std::vector<double> scaled = params.ratioWeights;
    for (double& w : scaled) w *= 3.5;
    std::vector<double> a, b, c;
    const std::vector<double> periods{0.3, 0.61, 1.2, 2.4};
    beatGivenTatum(periods, 0.3, 0.3, params.ratioWeights, a);
    beatGivenTatum(periods, 0.3, 0.3, scaled, b);
    for (std::size_t j = 0; j < a.size(); ++j) EXPECT_NEAR(a[j], b[j], 1e-15);

    std::vector<double> longer = params.ratioWeights;
    double sum = 0;
    for (double w : longer) sum += w;
    longer.push_back(sum);  // the nine ratios now share half the total
    beatGivenTatum(periods, 0.3, 0.3, longer, c);
    for (std::size_t j = 0; j < a.size(); ++j) EXPECT_NEAR(c[j], 0.5 * a[j], 1e-15);
}

TEST(BeatGivenTatumDeathTest, NeedsNineWeights) {
    std::vector<double> out;
    EXPECT_DEATH(beatGivenTatum({0.5}, 0.25, 0.3, std::vector<double>(8, 1.0), out),
                 "weights.size\\(\\) >= 9");
}

// ----------------------------------------------------- meterLogTransLikes

TEST(MeterLogTransLikes, EqualListsHaveAZeroDiagonalAndRatioTenGivesMinusFifty) {
    const std::vector<double> periods{0.25, 0.5, 1.0, 2.5};
    Matrix<double> out;
    meterLogTransLikes(periods, periods, 0.1, out);
    ASSERT_EQ(out.nRows(), 4u);
    ASSERT_EQ(out.nCols(), 4u);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(out[i][i], 0.0);
    EXPECT_DOUBLE_EQ(out[0][3], -50.0);  // 2.5 / 0.25 = 10
    EXPECT_DOUBLE_EQ(out[3][0], -50.0);  // symmetric in the ratio's logarithm

    meterLogTransLikes({0.2}, {2.0}, 0.1, out);
    EXPECT_DOUBLE_EQ(out[0][0], -50.0);
}

TEST(MeterLogTransLikes, MatchesNumpy) {
    const auto data = oracle::read("log_trans.txt");
    ASSERT_EQ(data.size(), 6u);
    Matrix<double> out(1, 1);
    for (int s = 0; s < 2; ++s) {
        meterLogTransLikes(data[0], data[1], data[2 + 2 * s][0], out);
        ASSERT_EQ(out.nRows(), data[0].size());
        ASSERT_EQ(out.nCols(), data[1].size());
        for (unsigned i = 0; i < out.nRows(); ++i)
            for (unsigned j = 0; j < out.nCols(); ++j)
                EXPECT_NEAR(out[i][j], data[3 + 2 * s][i * out.nCols() + j],
                            1e-12 * std::max(1.0, std::fabs(out[i][j])));
    }
}

TEST(MeterLogTransLikes, ReusedOutputIsOverwrittenCompletely) {
    Matrix<double> out(2, 3);
    out += 99.0;
    meterLogTransLikes({1.0, 2.0}, {1.0, 2.0, 4.0}, 0.1, out);
    EXPECT_EQ(out[0][0], 0.0);
    EXPECT_EQ(out[1][1], 0.0);
    EXPECT_NEAR(out[0][2], -0.5 * std::pow(std::log10(4.0) / 0.1, 2), 1e-12);
}

// --------------------------------------------------------------------- kron

TEST(Kron, HandExample) {
    const Matrix<double> a = fromRows({{1, 2}, {3, 4}});
    const Matrix<double> b = fromRows({{0, 5, 1}, {6, 7, -1}});
    Matrix<double> out(7, 7);
    kron(a, b, out);
    const Matrix<double> want = fromRows({{0, 5, 1, 0, 10, 2},
                                          {6, 7, -1, 12, 14, -2},
                                          {0, 15, 3, 0, 20, 4},
                                          {18, 21, -3, 24, 28, -4}});
    ASSERT_EQ(out.nRows(), 4u);
    ASSERT_EQ(out.nCols(), 6u);
    EXPECT_TRUE(out == want);
}

TEST(Kron, OnesFactorsRepeatTheOtherFactor) {
    Matrix<double> ones(3, 2);
    ones += 1.0;
    const Matrix<double> t = fromRows({{1.5, -2}, {0.25, 8}});
    Matrix<double> left, right;
    kron(ones, t, left);   // tiles t
    kron(t, ones, right);  // blows every element up to a 3 x 2 block
    ASSERT_EQ(left.nRows(), 6u);
    ASSERT_EQ(left.nCols(), 4u);
    for (unsigned i = 0; i < 6; ++i)
        for (unsigned j = 0; j < 4; ++j) {
            EXPECT_EQ(left[i][j], t[i % 2][j % 2]);
            EXPECT_EQ(right[i][j], t[i / 3][j / 2]);
        }
}

}  // namespace
