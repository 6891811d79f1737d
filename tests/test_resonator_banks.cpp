// The tracker's side-by-side resonator banks against one Resonators bank per
// channel, the reference they replace: the same numbers exactly (the same
// operations in the same order per channel), for any channel count, comb
// kind, delay and block length; aligned lines in Resonators::getState()'s
// layout; reset.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Matrix.h"
#include "params.h"
#include "resoC.h"
#include "resonatorBanks.h"

namespace {

using meterTracker::ResonatorBanks;
using meterTracker::Resonators;

struct BankCase {
    std::string name;
    unsigned channels;
    std::vector<unsigned> delays;
    std::vector<double> gains;
    double smoothing;
    std::vector<unsigned> blocks;  // frames per call, in turn
};

// The tracker's own banks at 44100 Hz.
BankCase trackerCase(unsigned channels) {
    const meterTracker::Params p(44100);
    return {"tracker_" + std::to_string(channels) + "ch", channels, p.delays, p.feedbackGains,
            p.decayPerSample, {86, 86, 86, 86, 86, 86, 86, 86, 86, 86, 86, 86}};
}

std::vector<BankCase> cases() {
    // Every comb kind, delays shorter and longer than the blocks, and
    // blocks of one sample, of several whole lines and ragged ones.
    const std::vector<unsigned> delays = {1, 2, 3, 5, 8, 13, 31, 32, 33, 40, 64, 65, 100};
    const std::vector<double> gains = {0.5, 0.0, 1.0, -1.0, 0.9, 0.3, 0.99,
                                       0.7, 0.0, 0.8, 1.0, 0.95, 0.6};
    const std::vector<unsigned> ragged = {1, 7, 86, 200, 33, 1, 64, 150, 5, 99};
    return {
        trackerCase(4),
        trackerCase(2),
        {"mixed_1ch", 1, delays, gains, 0.98, ragged},
        {"mixed_3ch", 3, delays, gains, 0.9, ragged},
        {"mixed_4ch", 4, delays, gains, 0.5, ragged},
        {"mixed_6ch", 6, delays, gains, 0.999, ragged},
        {"mixed_8ch", 8, delays, gains, 0.7, ragged},
    };
}

class ResonatorBanksMatch : public ::testing::TestWithParam<BankCase> {};

// Runs the case through both and compares after every block; aligns a few
// lines along the way (as the tracker does for the beat and bar combs),
// which rotates rings and so changes how later sums are grouped.
TEST_P(ResonatorBanksMatch, EveryNumberEqualsOneResonatorsBankPerChannel) {
    const BankCase& c = GetParam();
    const unsigned N = static_cast<unsigned>(c.delays.size());
    ResonatorBanks banks(c.channels, c.delays, c.gains, c.smoothing);
    ASSERT_EQ(banks.numChannels(), c.channels);
    ASSERT_EQ(banks.numResonators(), N);
    std::vector<std::unique_ptr<Resonators> > reference;
    for (unsigned ch = 0; ch < c.channels; ++ch)
        reference.emplace_back(new Resonators(c.delays, c.gains, c.smoothing, 0));
    ASSERT_EQ(banks.longestDelay(), reference[0]->getLongestDelay());
    const unsigned stride = banks.longestDelay();

    std::mt19937 rng(5);
    std::exponential_distribution<double> accent(3.0);
    std::vector<double> lineSums(N);
    unsigned call = 0;
    for (unsigned frames : c.blocks) {
        SCOPED_TRACE("call " + std::to_string(call) + ", " + std::to_string(frames) + " frames");
        // frames x channels, as the tracker hands them over.
        std::vector<double> input(static_cast<std::size_t>(frames) * c.channels);
        for (double& v : input) v = accent(rng) - 0.3;
        std::vector<double> inputEnergy(c.channels, -1.0), combEnergy(N * c.channels, -1.0);
        banks.process(input.data(), frames, c.channels, inputEnergy.data(), combEnergy.data());

        for (unsigned ch = 0; ch < c.channels; ++ch) {
            std::vector<double> block(frames), energy(1, -1.0);
            for (unsigned k = 0; k < frames; ++k) block[k] = input[k * c.channels + ch];
            NumaMathLibrary::Matrix<double> out;
            reference[ch]->process(block, energy, out);
            ASSERT_EQ(out.nRows(), 1u);
            ASSERT_EQ(inputEnergy[ch], energy[0]) << "channel " << ch;
            banks.lineSumsOfSquares(ch, lineSums.data());
            const std::vector<double>& want = reference[ch]->getLineSumsOfSquares();
            for (unsigned j = 0; j < N; ++j) {
                ASSERT_EQ(combEnergy[j * c.channels + ch], out[0][j]) << "channel " << ch << " comb " << j;
                ASSERT_EQ(banks.lineSumOfSquares(ch, j), want[j]) << "channel " << ch << " comb " << j;
                ASSERT_EQ(lineSums[j], want[j]) << "channel " << ch << " comb " << j;
            }
        }

        // Every third call, align two combs and compare their ordered lines.
        if (call % 3 == 1) {
            for (unsigned j : {(call * 7) % N, N - 1 - call % N}) {
                banks.alignLine(j);
                for (unsigned ch = 0; ch < c.channels; ++ch) {
                    reference[ch]->alignLine(j);
                    const double* want = reference[ch]->getLines() + static_cast<std::size_t>(j) * stride;
                    const double* got = banks.orderedLines()[ch] + static_cast<std::size_t>(j) * stride;
                    for (unsigned m = 0; m < c.delays[j]; ++m)
                        ASSERT_EQ(got[m], want[m]) << "channel " << ch << " comb " << j << " slot " << m;
                }
            }
        }
        ++call;
    }
}

// The tracker asks for no comb energies: everything else is the same.
TEST_P(ResonatorBanksMatch, WithoutCombEnergiesTheRestIsUnchanged) {
    const BankCase& c = GetParam();
    const unsigned N = static_cast<unsigned>(c.delays.size());
    ResonatorBanks with(c.channels, c.delays, c.gains, c.smoothing);
    ResonatorBanks without(c.channels, c.delays, c.gains, c.smoothing);
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (unsigned frames : c.blocks) {
        std::vector<double> input(static_cast<std::size_t>(frames) * c.channels);
        for (double& v : input) v = noise(rng);
        std::vector<double> e1(c.channels), e2(c.channels), energies(N * c.channels);
        with.process(input.data(), frames, c.channels, e1.data(), energies.data());
        without.process(input.data(), frames, c.channels, e2.data(), nullptr);
        ASSERT_EQ(e1, e2);
        for (unsigned ch = 0; ch < c.channels; ++ch)
            for (unsigned j = 0; j < N; ++j)
                ASSERT_EQ(with.lineSumOfSquares(ch, j), without.lineSumOfSquares(ch, j));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ResonatorBanksMatch, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<BankCase>& info) {
                             return info.param.name;
                         });

TEST(ResonatorBanks, InputRowsMayBeWiderThanTheChannels) {
    // Channel c's sample k at input[k * stride + c]: the other columns are ignored.
    const std::vector<unsigned> delays = {1, 4, 9};
    const std::vector<double> gains = {0.5, 0.7, 0.9};
    ResonatorBanks narrow(2, delays, gains, 0.9), wide(2, delays, gains, 0.9);
    const unsigned frames = 20, stride = 5;
    std::vector<double> packed(frames * 2), spread(frames * stride, 1e9);
    for (unsigned k = 0; k < frames; ++k)
        for (unsigned c = 0; c < 2; ++c) packed[k * 2 + c] = spread[k * stride + c] = 0.1 * k - c;
    std::vector<double> e1(2), e2(2);
    narrow.process(packed.data(), frames, 2, e1.data(), nullptr);
    wide.process(spread.data(), frames, stride, e2.data(), nullptr);
    EXPECT_EQ(e1, e2);
    for (unsigned c = 0; c < 2; ++c)
        for (unsigned j = 0; j < delays.size(); ++j)
            EXPECT_EQ(narrow.lineSumOfSquares(c, j), wide.lineSumOfSquares(c, j));
}

TEST(ResonatorBanks, AnEmptyBlockGivesZeroEnergyAndKeepsTheLines) {
    const std::vector<unsigned> delays = {2, 3};
    const std::vector<double> gains = {0.5, 0.8};
    ResonatorBanks banks(3, delays, gains, 0.9);
    std::vector<double> input(10 * 3, 0.25), energy(3), combs(2 * 3);
    banks.process(input.data(), 10, 3, energy.data(), combs.data());
    const double before = banks.lineSumOfSquares(1, 1);
    ASSERT_GT(before, 0.0);
    banks.process(input.data(), 0, 3, energy.data(), combs.data());
    EXPECT_EQ(energy, std::vector<double>(3, 0.0));
    EXPECT_EQ(combs, std::vector<double>(6, 0.0));
    EXPECT_EQ(banks.lineSumOfSquares(1, 1), before);
}

TEST(ResonatorBanks, ResetGivesTheNumbersOfFreshBanks) {
    const meterTracker::Params p(44100);
    ResonatorBanks used(4, p.delays, p.feedbackGains, p.decayPerSample);
    ResonatorBanks fresh(4, p.delays, p.feedbackGains, p.decayPerSample);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> input(86 * 4), e1(4), e2(4);
    for (int step = 0; step < 5; ++step) {
        for (double& v : input) v = noise(rng);
        used.process(input.data(), 86, 4, e1.data(), nullptr);
        used.alignLine(static_cast<unsigned>(100 + step));
    }
    used.reset();
    for (unsigned c = 0; c < 4; ++c)
        for (unsigned k = 0; k < used.longestDelay(); ++k)
            ASSERT_EQ(used.orderedLines()[c][104 * used.longestDelay() + k], 0.0);
    for (int step = 0; step < 3; ++step) {
        for (double& v : input) v = noise(rng);
        used.process(input.data(), 86, 4, e1.data(), nullptr);
        fresh.process(input.data(), 86, 4, e2.data(), nullptr);
        ASSERT_EQ(e1, e2);
        for (unsigned c = 0; c < 4; ++c)
            for (unsigned j = 0; j < p.numDelays; ++j)
                ASSERT_EQ(used.lineSumOfSquares(c, j), fresh.lineSumOfSquares(c, j));
    }
}

using ResonatorBanksDeathTest = ::testing::Test;

TEST_F(ResonatorBanksDeathTest, RejectsSettingsOutsideTheTrackersMode) {
    EXPECT_DEATH(ResonatorBanks(0, {1, 2}, {0.5, 0.5}, 0.9), "at least one channel");
    EXPECT_DEATH(ResonatorBanks(2, {1, 2}, {0.5}, 0.9), "one gain per delay");
    EXPECT_DEATH(ResonatorBanks(2, {0, 2}, {0.5, 0.5}, 0.9), "delays of at least 1");
    EXPECT_DEATH(ResonatorBanks(2, {1, 2}, {0.5, 0.5}, 1.0), "smoothing in \\(0, 1\\)");
    EXPECT_DEATH(ResonatorBanks(2, {1, 2}, {0.5, 0.5}, 0.0), "smoothing in \\(0, 1\\)");
}

}  // namespace
