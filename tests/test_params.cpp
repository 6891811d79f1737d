// Tracker parameters and the tracker's rounding rule.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "params.h"
#include "round.h"

using meterTracker::Params;

namespace {

struct RateCase {
    unsigned sampleRate;
    unsigned hopLength;
    double accentRate;
    unsigned numDelays;
};

// hopLength is the power of two at or above a hundredth of the rate; the
// accent rate is 2 * rate / hopLength; resonators cover every lag up to 4 s.
const RateCase kRateCases[] = {
    {44100, 512, 172.265625, 689},  //
    {48000, 512, 187.5, 750},       //
    {22050, 256, 172.265625, 689},  //
    {96000, 1024, 187.5, 750},      //
    {25600, 256, 200.0, 800},       // a hundredth of the rate is exactly 2^8
};

class ParamsAtRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(ParamsAtRate, RateDependentFieldsMatchTheTable) {
    const RateCase c = GetParam();
    const Params p(c.sampleRate);
    EXPECT_EQ(p.hopLength, c.hopLength);
    EXPECT_EQ(p.frameLength, 2 * c.hopLength);
    EXPECT_EQ(p.accentRate, c.accentRate);
    EXPECT_EQ(p.halfTimeSamples, 3.0 * c.accentRate);
    EXPECT_EQ(p.decayHalfTime, p.halfTimeSamples);
    EXPECT_EQ(p.sampleRate, static_cast<double>(c.sampleRate));
    EXPECT_EQ(p.numDelays, c.numDelays);
    ASSERT_EQ(p.delays.size(), c.numDelays);
    ASSERT_EQ(p.feedbackGains.size(), c.numDelays);
    ASSERT_EQ(p.gainNorms.size(), c.numDelays);

    // Independent forms: 0.5^t = exp(-t ln 2); (1-g)^2/(1-g^2) = (1-g)/(1+g).
    const double ln2 = std::log(2.0);
    EXPECT_NEAR(p.decayPerSample, std::exp(-ln2 / p.halfTimeSamples), 1e-15);
    for (unsigned i = 0; i < p.numDelays; ++i) {
        ASSERT_EQ(p.delays[i], i + 1);
        const double g = std::exp(-ln2 * (i + 1) / p.halfTimeSamples);
        ASSERT_NEAR(p.feedbackGains[i], g, 1e-15) << "delay " << i + 1;
        ASSERT_GT(p.feedbackGains[i], 0.0);
        ASSERT_LT(p.feedbackGains[i], 1.0);
        ASSERT_NEAR(p.gainNorms[i].real(), (1 - g) / (1 + g), 1e-12 * (1 - g) / (1 + g) + 1e-16);
        const double r = (1 - g) / (1 + g);
        ASSERT_NEAR(p.gainNorms[i].imag(), r * r, 1e-12 * r * r + 1e-18);
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ParamsAtRate, ::testing::ValuesIn(kRateCases),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                             return "Hz" + std::to_string(info.param.sampleRate);
                         });

TEST(Params, ValuesAt44100MatchTheReferenceDigits) {
    const Params p(44100);
    EXPECT_EQ(p.accentRate, 172.265625);
    EXPECT_EQ(p.halfTimeSamples, 516.796875);
    EXPECT_DOUBLE_EQ(p.decayPerSample, 0.9986596618818055);
    EXPECT_DOUBLE_EQ(p.feedbackGains.front(), 0.9986596618818055);
    EXPECT_DOUBLE_EQ(p.feedbackGains.back(), 0.39688353128177284);
    EXPECT_NEAR(p.gainNorms[0].real(), 0.0006706184868575744, 1e-15);
    EXPECT_NEAR(p.gainNorms[0].imag(), 4.4972915491514477e-07, 1e-18);
    EXPECT_EQ(p.delays.back(), 689u);
}

TEST(Params, ModelConstantsHaveTheirDefaults) {
    const Params p(44100);
    EXPECT_EQ(p.envelopesPerHop, 2u);
    EXPECT_EQ(p.numBands, 36u);
    EXPECT_EQ(p.bandsPerChannel, 9u);
    EXPECT_EQ(p.resonatorHop, 0.0);
    EXPECT_EQ(p.beatMyy, 0.55);
    EXPECT_EQ(p.beatSigma, 0.28);
    EXPECT_EQ(p.barMyy, 2.1);
    EXPECT_EQ(p.barSigma, 0.26);
    EXPECT_EQ(p.tatumMyy, 0.18);
    EXPECT_EQ(p.tatumSigma, 0.39);
    EXPECT_EQ(p.ratioSigma, 0.3);
    const std::vector<double> weights = {0.9020073524848866,  1.0,
                                         0.7302768106235606,  1.1438508100093516,
                                         0.443270652313484,   0.8863431230976493,
                                         0.43706546371614174, 0.796691092092133,
                                         0.6586692681470597};
    EXPECT_EQ(p.ratioWeights, weights);
    EXPECT_EQ(p.numPeriodCandidates, 5u);
    EXPECT_EQ(p.periodTransSigmas, std::vector<double>({0.1, 0.1, 0.1}));
    EXPECT_EQ(p.numPhaseCandidates, 15u);
    EXPECT_EQ(p.phaseTransSigma, 0.1);
    EXPECT_EQ(p.beatObsWeight, 1u);
    EXPECT_EQ(p.barObsWeight, 1u);
    EXPECT_EQ(p.tatumObsWeight, 3u);
    EXPECT_EQ(p.beatPriorExponent, 0.31);
    EXPECT_EQ(p.barPriorExponent, 0.29);
    EXPECT_EQ(p.tatumPriorExponent, 0.16);
    EXPECT_EQ(p.logFloor, 1e-60);
}

TEST(Params, ChangeHalfTimeRebuildsOnlyTheResonatorTables) {
    Params p(44100);
    const Params before(44100);
    p.beatMyy = 0.7;  // a run-time prior change must survive
    const double returned = p.changeHalfTime(6.0);

    EXPECT_EQ(p.halfTimeSamples, 2 * before.halfTimeSamples);
    EXPECT_EQ(p.decayHalfTime, p.halfTimeSamples);
    EXPECT_EQ(returned, std::pow(0.5, 1.0 / 1033.59375));
    EXPECT_EQ(p.decayPerSample, returned);
    EXPECT_GT(p.decayPerSample, before.decayPerSample);
    EXPECT_EQ(p.delays, before.delays);
    EXPECT_EQ(p.numDelays, before.numDelays);
    ASSERT_EQ(p.feedbackGains.size(), before.feedbackGains.size());
    for (unsigned i = 0; i < p.numDelays; ++i) {
        EXPECT_GT(p.feedbackGains[i], before.feedbackGains[i]);
        // Doubling the half time takes the square root of each gain.
        EXPECT_NEAR(p.feedbackGains[i], std::sqrt(before.feedbackGains[i]), 1e-15);
        EXPECT_LT(p.gainNorms[i].real(), before.gainNorms[i].real());
    }
    EXPECT_EQ(p.hopLength, before.hopLength);
    EXPECT_EQ(p.accentRate, before.accentRate);
    EXPECT_EQ(p.frameLength, before.frameLength);
    EXPECT_EQ(p.sampleRate, before.sampleRate);
    EXPECT_EQ(p.beatMyy, 0.7);
}

TEST(Params, InfiniteHalfTimeGivesTheUnitGainPair) {
    Params p(44100);
    p.changeHalfTime(INFINITY);
    for (unsigned i = 0; i < p.numDelays; ++i) {
        ASSERT_EQ(p.feedbackGains[i], 1.0);
        ASSERT_EQ(p.gainNorms[i], std::complex<double>(2.0, 0.0));
    }
    EXPECT_EQ(p.decayPerSample, 1.0);
}

TEST(Params, SetSrateRestoresTheDefaultHalfTimeAndKeepsTheModelConstants) {
    Params p(44100);
    p.changeHalfTime(9.0);
    p.tatumMyy = 0.2;
    p.setSrate(44100);
    const Params fresh(44100);
    EXPECT_EQ(p.halfTimeSamples, fresh.halfTimeSamples);
    EXPECT_EQ(p.decayPerSample, fresh.decayPerSample);
    EXPECT_EQ(p.feedbackGains, fresh.feedbackGains);
    EXPECT_EQ(p.gainNorms, fresh.gainNorms);
    EXPECT_EQ(p.tatumMyy, 0.2);
}

TEST(Params, SetSrateEqualsConstructionAtTheNewRate) {
    for (const RateCase& c : kRateCases) {
        Params p(44100);
        p.setSrate(c.sampleRate);
        const Params fresh(c.sampleRate);
        EXPECT_EQ(p.sampleRate, fresh.sampleRate);
        EXPECT_EQ(p.hopLength, fresh.hopLength);
        EXPECT_EQ(p.frameLength, fresh.frameLength);
        EXPECT_EQ(p.accentRate, fresh.accentRate);
        EXPECT_EQ(p.halfTimeSamples, fresh.halfTimeSamples);
        EXPECT_EQ(p.decayHalfTime, fresh.decayHalfTime);
        EXPECT_EQ(p.decayPerSample, fresh.decayPerSample);
        EXPECT_EQ(p.delays, fresh.delays);
        EXPECT_EQ(p.numDelays, fresh.numDelays);
        EXPECT_EQ(p.feedbackGains, fresh.feedbackGains);
        EXPECT_EQ(p.gainNorms, fresh.gainNorms);
    }
}

TEST(Params, CopiesAreIndependent) {
    const Params original(44100);
    Params copy(original);
    EXPECT_EQ(copy.delays, original.delays);
    EXPECT_EQ(copy.feedbackGains, original.feedbackGains);
    EXPECT_EQ(copy.gainNorms, original.gainNorms);
    EXPECT_EQ(copy.ratioWeights, original.ratioWeights);
    copy.changeHalfTime(12.0);
    copy.ratioWeights[0] = 5.0;
    EXPECT_EQ(original.halfTimeSamples, 516.796875);
    EXPECT_EQ(original.feedbackGains[0], Params(44100).feedbackGains[0]);
    EXPECT_EQ(original.ratioWeights[0], 0.9020073524848866);
}

// A 0.5 s beat at 44100 Hz is 86.13 accent samples: the closest resonator has delay 86.
TEST(Params, ClosestResonatorToHalfASecondHasDelay86) {
    const Params p(44100);
    const double lag = 0.5 * p.accentRate;
    unsigned best = 0;
    for (unsigned i = 1; i < p.numDelays; ++i)
        if (std::fabs(lag - p.delays[i]) < std::fabs(lag - p.delays[best])) best = i;
    EXPECT_EQ(p.delays[best], 86u);
}

TEST(Round, HalvesRoundUp) {
    const struct {
        double x;
        unsigned expected;
    } cases[] = {
        {2.5, 3},         {2.4999, 2}, {689.0625, 689}, {0.0, 0},         {0.5, 1},
        {0.49999999, 0},  {3.0, 3},    {86.13, 86},     {688.99999, 689}, {1e9 + 0.5, 1000000001},
        {0.5 * 1024, 512}};
    for (const auto& c : cases) EXPECT_EQ(meterTracker::round(c.x), c.expected) << c.x;
}

}  // namespace
