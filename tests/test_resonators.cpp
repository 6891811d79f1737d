// Resonator bank: comb kinds, energy smoothing, output frames, delay lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "Matrix.h"
#include "params.h"
#include "resoC.h"

using meterTracker::Params;
using meterTracker::Resonators;
using NumaMathLibrary::Matrix;

namespace {

std::vector<std::vector<double>> readOracle(const std::string& name) {
    const char* dir = std::getenv("KADENZO_ORACLE_DIR");
    if (dir == nullptr) ADD_FAILURE() << "KADENZO_ORACLE_DIR is not set";
    std::ifstream in(std::string(dir ? dir : ".") + "/" + name);
    if (!in) ADD_FAILURE() << "missing oracle file " << name;
    std::vector<std::vector<double>> arrays;
    std::size_t size;
    while (in >> size) {
        std::vector<double> a(size);
        for (double& v : a) in >> v;
        arrays.push_back(a);
    }
    return arrays;
}

// Feeds `input` in consecutive blocks of the given sizes (the last one
// repeating) and returns the raw outputs of every comb, sample by sample.
Matrix<double> rawOutputsInBlocks(Resonators& bank, const std::vector<double>& input,
                                  const std::vector<unsigned>& blockSizes) {
    Matrix<double> all(static_cast<unsigned>(input.size()), bank.getNumResonators());
    std::vector<double> energy;
    Matrix<double> out;
    std::size_t start = 0;
    for (std::size_t b = 0; start < input.size(); ++b) {
        const std::size_t n = std::min<std::size_t>(blockSizes[std::min(b, blockSizes.size() - 1)],
                                                    input.size() - start);
        const std::vector<double> block(input.begin() + start, input.begin() + start + n);
        bank.process(block, energy, out);
        EXPECT_EQ(out.nRows(), n);
        for (unsigned k = 0; k < n; ++k)
            for (unsigned j = 0; j < bank.getNumResonators(); ++j)
                all[static_cast<unsigned>(start) + k][j] = out[k][j];
        start += n;
    }
    return all;
}

std::vector<double> stateCopy(const Resonators& bank) {
    const double* s = bank.getState();
    return std::vector<double>(s, s + bank.getNumResonators() * bank.getLongestDelay());
}

std::vector<double> randomSignal(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> dist;
    std::vector<double> x(n);
    for (double& v : x) v = dist(rng);
    return x;
}

// ---------------------------------------------------------------------------
// The combs against plain difference equations run by scipy.

const char* const kOracleCases[] = {"feedback_1",       "feedback_5",        "feedback_86",
                                    "feedback_200",     "feedback_450",      "feedback_negative",
                                    "feedforward_plus", "feedforward_minus", "lagproduct",
                                    "lagproduct_long"};

struct OracleBank {
    std::vector<unsigned> delays;
    std::vector<double> gains;
    std::vector<std::vector<std::vector<double>>> cases;  // per comb: params, y, line, energies
};

OracleBank loadOracleBank() {
    OracleBank b;
    for (const char* name : kOracleCases) {
        b.cases.push_back(readOracle(std::string(name) + ".txt"));
        const auto& c = b.cases.back();
        if (c.size() != 4) {
            ADD_FAILURE() << "bad oracle file " << name;
            continue;
        }
        b.delays.push_back(static_cast<unsigned>(c[0][0]));
        b.gains.push_back(c[0][1]);
    }
    return b;
}

TEST(ResonatorCombs, RawOutputsAndDelayLinesMatchDifferenceEquations) {
    const auto input = readOracle("input.txt");
    ASSERT_EQ(input.size(), 3u);
    const OracleBank ob = loadOracleBank();
    ASSERT_EQ(ob.delays.size(), std::size(kOracleCases));
    Resonators bank(ob.delays, ob.gains, 0.0, 0);
    ASSERT_EQ(bank.getLongestDelay(), 450u);

    const Matrix<double> y = rawOutputsInBlocks(bank, input[0], {37});
    const double* state = bank.getState();
    for (unsigned j = 0; j < ob.delays.size(); ++j) {
        const auto& c = ob.cases[j];
        SCOPED_TRACE(kOracleCases[j]);
        for (unsigned k = 0; k < c[1].size(); ++k) ASSERT_NEAR(y[k][j], c[1][k], 1e-12) << k;
        for (unsigned m = 0; m < ob.delays[j]; ++m)
            ASSERT_NEAR(state[j * bank.getLongestDelay() + m], c[2][m], 1e-12) << m;
    }
}

TEST(ResonatorCombs, LeakyEnergiesMatchPerBlockIntegrals) {
    const auto input = readOracle("input.txt");
    ASSERT_EQ(input.size(), 3u);
    const double smoothing = input[1][0];
    const unsigned block = static_cast<unsigned>(input[1][1]);
    const OracleBank ob = loadOracleBank();
    Resonators bank(ob.delays, ob.gains, smoothing, 0);

    std::vector<double> energy;
    Matrix<double> out;
    const std::vector<double>& x = input[0];
    for (unsigned start = 0, b = 0; start < x.size(); start += block, ++b) {
        const std::vector<double> chunk(x.begin() + start,
                                        x.begin() + std::min<std::size_t>(start + block, x.size()));
        bank.process(chunk, energy, out);
        ASSERT_EQ(out.nRows(), 1u);
        ASSERT_EQ(out.nCols(), ob.delays.size());
        ASSERT_EQ(energy.size(), 1u);
        const double expectedInput = input[2][b];
        ASSERT_NEAR(energy[0], expectedInput, 1e-12 * expectedInput);
        for (unsigned j = 0; j < ob.delays.size(); ++j) {
            const double expected = ob.cases[j][3][b];
            ASSERT_NEAR(out[0][j], expected, 1e-11 * std::fabs(expected) + 1e-14)
                << kOracleCases[j] << " block " << b;
        }
    }
}

// ---------------------------------------------------------------------------
// Worked examples.

TEST(ResonatorExamples, FeedbackCombWithDelayOneAndHalfGain) {
    Resonators bank({1}, {0.5}, 0.0, 0);
    std::vector<double> energy = {42.0};
    Matrix<double> out;
    bank.process({1, 1, 1}, energy, out);
    ASSERT_EQ(out.nRows(), 3u);
    ASSERT_EQ(out.nCols(), 1u);
    EXPECT_EQ(out[0][0], 0.5);
    EXPECT_EQ(out[1][0], 0.75);
    EXPECT_EQ(out[2][0], 0.875);
    EXPECT_EQ(bank.getState()[0], 0.4375);
    EXPECT_EQ(energy, std::vector<double>({42.0}));  // raw outputs leave the energy alone
}

TEST(ResonatorExamples, LeakyIntegralRestartsAtEveryCall) {
    Resonators bank({1}, {0.5}, 0.5, 0);
    std::vector<double> energy;
    Matrix<double> out;
    bank.process({1, 1, 1}, energy, out);
    ASSERT_EQ(energy.size(), 1u);
    EXPECT_EQ(energy[0], 1.75);  // 0.25 + 0.5 + 1
    bank.process({1}, energy, out);
    EXPECT_EQ(energy[0], 1.0);
    bank.process({1}, energy, out);
    EXPECT_EQ(energy[0], 1.0);
}

struct SmoothingCase {
    const char* name;
    double smoothing;
    int hop;
    std::vector<double> inputEnergy;  // over x = 1, 2, 3, 4, 5 (q = 1, 4, 9, 16, 25)
    std::vector<double> combEnergy;   // feed-forward g = 1, T = 1: y = 1, 3, 5, 7, 9
};

// Keeps the generated test names free of byte dumps.
void PrintTo(const SmoothingCase& c, std::ostream* os) {
    *os << c.name;
}

class ResonatorSmoothing : public ::testing::TestWithParam<SmoothingCase> {};

TEST_P(ResonatorSmoothing, OutputsFollowTheWindowAndHop) {
    const SmoothingCase& c = GetParam();
    Resonators bank({1}, {1.0}, c.smoothing, c.hop);
    std::vector<double> energy;
    Matrix<double> out;
    bank.process({1, 2, 3, 4, 5}, energy, out);
    EXPECT_EQ(energy, c.inputEnergy);
    ASSERT_EQ(out.nRows(), c.combEnergy.size());
    ASSERT_EQ(out.nCols(), 1u);
    for (unsigned f = 0; f < out.nRows(); ++f) EXPECT_EQ(out[f][0], c.combEnergy[f]) << f;
}

INSTANTIATE_TEST_SUITE_P(
    Regimes, ResonatorSmoothing,
    ::testing::Values(
        // Window of 3: the sum over the last three samples, or s[0] and s[2] with hop 2.
        SmoothingCase{"window3_single", 3.0, 0, {50}, {155}},
        SmoothingCase{"window3_hop2", 3.0, 2, {14, 50}, {35, 155}},
        SmoothingCase{"window3_5_hop2", 3.5, 2, {14}, {35}},  // floor((5 - 3.5)/2 + 1) = 1
        // Window of 1: q itself.
        SmoothingCase{"unit_single", 1.0, 0, {25}, {81}},
        SmoothingCase{"unit_hop2", 1.0, 2, {1, 9, 25}, {1, 25, 81}},
        // Leaky, p = 0.5: r = 1, 4.5, 11.25, 21.625, 35.8125 (input);
        //                     1, 9.5, 29.75, 63.875, 112.9375 (comb).
        SmoothingCase{"leaky_single", 0.5, 0, {35.8125}, {112.9375}},
        SmoothingCase{"leaky_hop2", 0.5, 2, {4.5, 21.625}, {9.5, 63.875}},
        SmoothingCase{"leaky_hop1",
                      0.5,
                      1,
                      {1, 4.5, 11.25, 21.625, 35.8125},
                      {1, 9.5, 29.75, 63.875, 112.9375}}),
    [](const ::testing::TestParamInfo<SmoothingCase>& info) { return info.param.name; });

TEST(ResonatorFrames, FollowTheHopAndWindowRule) {
    const struct {
        int n, hop;
        double smoothing;
        int frames;
    } cases[] = {
        {86, 0, 0.9986596618818055, 1},
        {5, 0, 3.0, 1},
        {5, -1, 0.5, 1},
        {5, 2, 3.0, 2},
        {5, 2, 0.5, 2},
        {6, 2, 0.5, 3},
        {5, 2, 1.0, 3},
        {10, 3, 2.5, 3},
        {10, 3, 0.0, 3},
        {10, 3, -1.0, 3},
        {4, 5, 0.5, 0},
        {86, 86, 0.99, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Resonators::outputFrames(c.n, c.hop, c.smoothing), c.frames)
            << c.n << " " << c.hop << " " << c.smoothing;
}

TEST(ResonatorExamples, RawModeGivesOneRowPerSampleEvenWithAHop) {
    Resonators bank({2, 3}, {0.5, 0.0}, -1.0, 2);
    std::vector<double> energy = {7.0, 8.0};
    Matrix<double> out;
    out.resize(3, 3, 9.0);
    bank.process({1, 2, 3, 4}, energy, out);
    ASSERT_EQ(out.nRows(), 4u);
    ASSERT_EQ(out.nCols(), 2u);
    EXPECT_EQ(energy, std::vector<double>({7.0, 8.0}));
    // Feedback T = 2, g = 0.5: y = 0.5x + 0.5 y[k-2].
    EXPECT_EQ(out[0][0], 0.5);
    EXPECT_EQ(out[1][0], 1.0);
    EXPECT_EQ(out[2][0], 1.75);
    EXPECT_EQ(out[3][0], 2.5);
    // Lag product T = 3 from silence: only x[3] * x[0] is non-zero.
    EXPECT_EQ(out[0][1], 0.0);
    EXPECT_EQ(out[1][1], 0.0);
    EXPECT_EQ(out[2][1], 0.0);
    EXPECT_EQ(out[3][1], 4.0);
}

TEST(ResonatorExamples, ModesOtherThanZeroLeaveEverythingUntouched) {
    Resonators bank({1}, {0.5}, 0.5, 0);
    double out = 3.0, state = 4.0, energy = 5.0, delay = 1.0, gain = 0.5, input = 1.0;
    bank.realResonators(&out, &state, &energy, &delay, &gain, 1, 1, &input, 1, 0.5, 0, 1, 1);
    EXPECT_EQ(out, 3.0);
    EXPECT_EQ(state, 4.0);
    EXPECT_EQ(energy, 5.0);
    bank.realResonators(&out, &state, &energy, &delay, &gain, 1, 1, &input, 1, 0.5, 0, 1, 0);
    // Mode 0: y = 0.5 * 1 + 4 = 4.5, its energy 20.25, the line keeps 0.5 * y.
    EXPECT_EQ(out, 20.25);
    EXPECT_EQ(energy, 1.0);
    EXPECT_EQ(state, 2.25);
}

// ---------------------------------------------------------------------------
// State handling.

TEST(ResonatorState, ResetGivesTheSameOutputsAsAFreshBank) {
    const Params p(44100);
    const std::vector<double> x = randomSignal(400, 3);
    Resonators used(p.delays, p.feedbackGains, p.decayPerSample, 0);
    std::vector<double> energy;
    Matrix<double> out;
    used.process(randomSignal(300, 4), energy, out);
    used.reset();
    for (double v : stateCopy(used)) ASSERT_EQ(v, 0.0);

    Resonators fresh(p.delays, p.feedbackGains, p.decayPerSample, 0);
    std::vector<double> freshEnergy;
    Matrix<double> freshOut;
    for (unsigned start = 0; start < x.size(); start += 86) {
        const std::vector<double> block(x.begin() + start,
                                        x.begin() + std::min<std::size_t>(start + 86, x.size()));
        used.process(block, energy, out);
        fresh.process(block, freshEnergy, freshOut);
        ASSERT_EQ(energy, freshEnergy);
        for (unsigned j = 0; j < p.numDelays; ++j) ASSERT_EQ(out[0][j], freshOut[0][j]);
    }
    EXPECT_EQ(stateCopy(used), stateCopy(fresh));
}

// Block partitions of one signal: outputs and delay lines never depend on them.
const std::vector<std::vector<unsigned>> kBlockPartitions = {
    {1}, {7}, {100}, {86}, {688}, {689}, {690}, {3, 1, 250, 17, 729, 2}, {2000}};

TEST(ResonatorState, BlockSizesNeverChangeOutputsOrDelayLines) {
    const Params p(44100);
    // The tracker's bank plus one comb of every other kind.
    std::vector<unsigned> delays = p.delays;
    std::vector<double> gains = p.feedbackGains;
    for (unsigned d : {1u, 5u, 700u}) delays.push_back(d), gains.push_back(1.0);
    for (unsigned d : {2u, 90u}) delays.push_back(d), gains.push_back(-1.0);
    for (unsigned d : {1u, 4u, 701u}) delays.push_back(d), gains.push_back(0.0);
    for (unsigned d : {3u, 300u}) delays.push_back(d), gains.push_back(-0.6);

    const std::vector<double> x = randomSignal(2000, 11);
    Resonators reference(delays, gains, 0.0, 0);
    const Matrix<double> expected = rawOutputsInBlocks(reference, x, {2000});
    const std::vector<double> expectedState = stateCopy(reference);

    for (const auto& partition : kBlockPartitions) {
        SCOPED_TRACE(::testing::PrintToString(partition));
        Resonators bank(delays, gains, 0.0, 0);
        const Matrix<double> got = rawOutputsInBlocks(bank, x, partition);
        ASSERT_EQ(stateCopy(bank), expectedState);
        for (unsigned k = 0; k < x.size(); ++k)
            for (unsigned j = 0; j < delays.size(); ++j) ASSERT_EQ(got[k][j], expected[k][j]);
    }
}

// The bank keeps each delay line as a ring and its sum of squares up to date
// as it goes; after every block the sums equal the lines' contents summed
// afresh, whatever the block sizes and however the rings wrap (lengths
// around the 32-slot chunks, blocks of one slot less than a line).
TEST(ResonatorState, LineSumsOfSquaresFollowTheLines) {
    const std::vector<unsigned> delays = {1, 5, 31, 32, 33, 40, 64, 86, 100, 689};
    std::vector<double> gains;
    for (unsigned d : delays) gains.push_back(std::pow(0.5, d / 516.796875));
    const std::vector<double> x = randomSignal(3000, 5);
    const std::vector<std::vector<unsigned>> partitions = {{86}, {1}, {39}, {7, 100, 31}, {689, 3}};
    for (const auto& partition : partitions) {
        SCOPED_TRACE(::testing::PrintToString(partition));
        Resonators bank(delays, gains, 0.9986596618818055, 0);
        std::vector<double> energy;
        Matrix<double> out;
        std::size_t start = 0;
        for (std::size_t b = 0; start < x.size(); ++b) {
            const std::size_t n = std::min<std::size_t>(
                partition[b % partition.size()], x.size() - start);
            bank.process(std::vector<double>(x.begin() + start, x.begin() + start + n), energy,
                         out);
            start += n;
            // Read the rings as they stand: getState() would put them in order.
            const double* lines = bank.getLines();
            for (unsigned j = 0; j < delays.size(); ++j) {
                double sum = 0.0;
                for (unsigned m = 0; m < delays[j]; ++m) {
                    const double v = lines[j * bank.getLongestDelay() + m];
                    sum += v * v;
                }
                ASSERT_NEAR(bank.getLineSumsOfSquares()[j], sum, 1e-12 * sum)
                    << "comb " << j << " after " << start << " samples";
            }
        }
    }
}

// Putting one line in order leaves the others as rings and changes no sum;
// the ordered line is the one getState() reports.
TEST(ResonatorState, AligningALineOrdersItOldestFirst) {
    const std::vector<unsigned> delays = {3, 40, 86, 689};
    const std::vector<double> gains = {0.9, 0.8, 0.7, 0.6};
    Resonators bank(delays, gains, 0.99, 0);
    Resonators twin(delays, gains, 0.99, 0);
    std::vector<double> energy;
    Matrix<double> out;
    const std::vector<double> x = randomSignal(1000, 8);
    for (std::size_t start = 0; start < x.size(); start += 86) {
        const std::vector<double> block(x.begin() + start,
                                        x.begin() + std::min(x.size(), start + 86));
        bank.process(block, energy, out);
        twin.process(block, energy, out);
    }
    const std::vector<double> sumsBefore = bank.getLineSumsOfSquares();
    bank.alignLine(2);
    const std::vector<double> ordered = stateCopy(twin);
    const unsigned stride = bank.getLongestDelay();
    for (unsigned m = 0; m < delays[2]; ++m)
        ASSERT_EQ(bank.getLines()[2 * stride + m], ordered[2 * stride + m]) << m;
    for (unsigned j = 0; j < delays.size(); ++j)
        EXPECT_NEAR(bank.getLineSumsOfSquares()[j], sumsBefore[j], 1e-12 * sumsBefore[j]);
    EXPECT_EQ(stateCopy(bank), ordered);
}

// The tracker continues each call's leaky energy with p^n times the previous
// total; the continued totals do not depend on the block sizes either.
TEST(ResonatorState, ContinuedLeakyEnergiesDoNotDependOnBlockSizes) {
    const Params p(44100);
    const std::vector<double> x = randomSignal(2000, 12);
    auto continuedTotals = [&](const std::vector<unsigned>& partition) {
        Resonators bank(p.delays, p.feedbackGains, p.decayPerSample, 0);
        std::vector<double> totals(p.numDelays + 1, 0.0);  // resonators, then the input
        std::vector<double> energy;
        Matrix<double> out;
        std::size_t start = 0;
        for (std::size_t b = 0; start < x.size(); ++b) {
            const std::size_t n = std::min<std::size_t>(
                partition[std::min(b, partition.size() - 1)], x.size() - start);
            bank.process(std::vector<double>(x.begin() + start, x.begin() + start + n), energy,
                         out);
            const double carry = std::pow(p.decayPerSample, static_cast<double>(n));
            for (unsigned j = 0; j < p.numDelays; ++j) totals[j] = carry * totals[j] + out[0][j];
            totals[p.numDelays] = carry * totals[p.numDelays] + energy[0];
            start += n;
        }
        return totals;
    };
    const std::vector<double> expected = continuedTotals({2000});
    for (const auto& partition : kBlockPartitions) {
        SCOPED_TRACE(::testing::PrintToString(partition));
        const std::vector<double> got = continuedTotals(partition);
        for (unsigned j = 0; j < got.size(); ++j)
            ASSERT_NEAR(got[j], expected[j], 1e-9 * expected[j]) << j;
    }
}

TEST(ResonatorState, MatrixCopyPutsEachCombsLineInItsColumn) {
    const unsigned n = 12;
    std::vector<unsigned> delays(n);
    std::iota(delays.begin(), delays.end(), 1u);
    std::vector<double> gains(n);
    for (unsigned j = 0; j < n; ++j) gains[j] = 0.3 + 0.05 * j;
    Resonators bank(delays, gains, 0.0, 0);
    std::vector<double> energy;
    Matrix<double> out;
    bank.process(randomSignal(50, 5), energy, out);

    const double* state = bank.getState();
    Matrix<double> lines;  // reshaped: zeros below the diagonal
    bank.getState(lines);
    Matrix<double> reused;
    reused.resize(n, n, 7.0);  // right shape: below the diagonal is kept
    bank.getState(reused);
    ASSERT_EQ(lines.nRows(), n);
    ASSERT_EQ(lines.nCols(), n);
    for (unsigned i = 0; i < n; ++i) {
        for (unsigned k = 0; k < n; ++k) {
            if (k >= i) {
                // Position i of comb k's line, a position the comb uses (i < k + 1).
                ASSERT_EQ(lines[i][k], state[k * n + i]);
                ASSERT_NE(lines[i][k], 0.0);
                ASSERT_EQ(reused[i][k], state[k * n + i]);
            } else {
                ASSERT_EQ(lines[i][k], 0.0);
                ASSERT_EQ(reused[i][k], 7.0);
            }
        }
    }
}

TEST(ResonatorState, StateRowsHaveTheLongestDelayAsStride) {
    Resonators bank({3, 10, 2}, {0.5, 0.5, 0.0}, 0.0, 0);
    EXPECT_EQ(bank.getNumResonators(), 3u);
    EXPECT_EQ(bank.getLongestDelay(), 10u);
    std::vector<double> energy;
    Matrix<double> out;
    bank.process({1, 2, 3, 4, 5, 6, 7}, energy, out);
    const double* s = bank.getState();
    // Lag product, T = 2: the last two inputs, oldest first.
    EXPECT_EQ(s[2 * 10 + 0], 6.0);
    EXPECT_EQ(s[2 * 10 + 1], 7.0);
    // Feedback T = 3: 0.5 * y of the last three outputs; y[k] = 0.5 x[k] + 0.5 y[k-3].
    // y = 0.5, 1, 1.5, 2.25, 3, 3.75, 4.625.
    EXPECT_EQ(s[0], 0.5 * 3.0);
    EXPECT_EQ(s[1], 0.5 * 3.75);
    EXPECT_EQ(s[2], 0.5 * 4.625);
    // T = 10 longer than the block: three leading zeros, then 0.5 * y (y = 0.5 x).
    for (unsigned m = 0; m < 3; ++m) EXPECT_EQ(s[10 + m], 0.0);
    for (unsigned m = 3; m < 10; ++m) EXPECT_EQ(s[10 + m], 0.25 * (m - 2));
    // Unused positions stay zero.
    for (unsigned m = 3; m < 10; ++m) EXPECT_EQ(s[m], 0.0);
}

// ---------------------------------------------------------------------------
// Resonance.

TEST(ResonatorResonance, CombTunedToAClickTrainResonatesFarMoreThanItsNeighbours) {
    const Params p(44100);
    const unsigned period = 86;  // half a second of accent samples
    Resonators bank(p.delays, p.feedbackGains, p.decayPerSample, 0);
    std::vector<double> totals(p.numDelays, 0.0);
    std::vector<double> energy;
    Matrix<double> out;
    std::vector<double> block(period, 0.0);
    block[10] = 1.0;
    const double carry = std::pow(p.decayPerSample, static_cast<double>(period));
    for (int step = 0; step < 40; ++step) {  // 20 s of clicks
        bank.process(block, energy, out);
        for (unsigned j = 0; j < p.numDelays; ++j) totals[j] = carry * totals[j] + out[0][j];
    }
    const double tuned = totals[period - 1];
    for (unsigned d = period - 6; d <= period + 6; ++d) {
        if (d == period) continue;
        // A detuned comb never adds its echoes to later clicks: its energy
        // ratio to the tuned comb is about (1 - g) / (1 + g), here 1 / 17.
        EXPECT_GT(tuned / totals[d - 1], 10.0) << "delay " << d;
    }
    // Among lags from 50 to 120 accent samples, the tuned comb is the strongest.
    const auto first = totals.begin() + 49, last = totals.begin() + 120;
    EXPECT_EQ(std::max_element(first, last) - totals.begin() + 1, static_cast<long>(period));
}

}  // namespace
