// Accent and onset queries of the accent front end: the delay-compensated
// accent signal, the peak picker and onset times of a click train.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_onsets_support.h"

using NumaMathLibrary::Matrix;

namespace {

constexpr double kAccentRate = 172.265625;  // at 44100 Hz

// ---------------------------------------------------------------------------
// detectOnsets

struct PickCase {
    const char* what;
    std::vector<double> accents;
    double envRate;
    double srate;
    double threshold;
    std::vector<unsigned int> expected;
};

std::vector<double> twoPeaks(std::size_t length, std::size_t p1, double h1, std::size_t p2,
                             double h2) {
    std::vector<double> a(length, 0.0);
    a[p1] = h1;
    a[p2] = h2;
    return a;
}

TEST(DetectOnsets, PicksSalientPeaksAndDropsTheWeakerOfCloseOnes) {
    const PickCase cases[] = {
        // 17.4 ms apart: the stronger one wins.
        {"close peaks", {0, 5, 0, 0, 4, 0}, kAccentRate, 44100, 1, {1}},
        {"close peaks, second stronger", {0, 4, 0, 0, 5, 0}, kAccentRate, 44100, 1, {4}},
        // 116 ms apart: both stay.
        {"far peaks", twoPeaks(25, 1, 5, 21, 4), kAccentRate, 44100, 1, {1, 21}},
        {"equal close peaks", {0, 5, 0, 0, 5, 0}, kAccentRate, 44100, 1, {1, 4}},
        {"all zero", std::vector<double>(50, 0.0), kAccentRate, 44100, 1, {}},
        {"threshold above all", {0, 5, 0, 0, 4, 0}, kAccentRate, 44100, 5, {}},
        {"threshold is strict", {0, 5, 0}, kAccentRate, 44100, 5, {}},
        {"plateau is no peak", {0, 2, 2, 0}, kAccentRate, 44100, 1, {}},
        {"first and last values",
         {3, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
         kAccentRate,
         44100,
         1,
         {0, 17}},
        {"one value above", {5}, kAccentRate, 44100, 1, {0}},
        {"one value below", {0.5}, kAccentRate, 44100, 1, {}},
        {"two values", {1, 5}, kAccentRate, 44100, 1, {1}},
        {"empty", {}, kAccentRate, 44100, 1, {}},
        // At 1 Hz no two columns are within 0.085 s. Candidates 1, 3, 5 have
        // valleys 0 and 1.9 (mean 0.95): saliences 3, 2.95 and 1.1 < 1.2.
        {"salience over the valley", {0, 3, 0, 2, 1.9, 2.05, 0}, 1.0, 44100, 1.2, {1, 3}},
        {"salience over the valley, lower threshold",
         {0, 3, 0, 2, 1.9, 2.05, 0},
         1.0,
         44100,
         1,
         {1, 3, 5}},
        // 10 columns = 58 ms: the middle, strongest one suppresses both neighbours.
        {"chain",
         {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4},
         kAccentRate,
         44100,
         1,
         {10}},
        // 14 columns = 81 ms, 28 = 163 ms: the scan stops at the first far candidate.
        {"scan stops at the first far candidate",
         [] {
             std::vector<double> a(30, 0.0);
             a[0] = 5;
             a[14] = 3;
             a[28] = 4;
             return a;
         }(),
         kAccentRate,
         44100,
         1,
         {0, 28}},
        // The threshold scales with the rate.
        {"32000 keeps it", {0, 0.8, 0}, 125, 32000, 1, {}},
        {"22050 halves it", {0, 0.8, 0}, kAccentRate, 22050, 1, {1}},
        {"16000 halves it", {0, 0.8, 0}, 125, 16000, 1, {1}},
        {"16000 halves it, still above", {0, 0.3, 0}, 125, 16000, 1, {}},
        {"8000 divides it by 3.5", {0, 0.3, 0}, 125, 8000, 1, {1}},
        {"8000 divides it by 3.5, still above", {0, 0.28, 0}, 125, 8000, 1, {}},
        {"rates match within 0.01", {0, 0.8, 0}, kAccentRate, 22050.005, 1, {1}},
    };
    for (const PickCase& c : cases) {
        std::vector<unsigned int> onsets = {99, 98};
        testing::internal::CaptureStderr();
        Onsets::detectOnsets(onsets, c.accents, c.envRate, c.srate, c.threshold);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
        EXPECT_EQ(onsets, c.expected) << c.what;
    }
}

TEST(DetectOnsets, UnsupportedRateSaysSoAndKeepsTheThreshold) {
    std::vector<unsigned int> onsets;
    testing::internal::CaptureStderr();
    Onsets::detectOnsets(onsets,
                         {0, 0.8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.5, 0},
                         kAccentRate, 48000, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Supported sampling rates: 44.1,32,22.05,16,8 kHz.\n");
    EXPECT_EQ(onsets, std::vector<unsigned int>{20});
}

// ---------------------------------------------------------------------------
// accentFix and getAccents

TEST(AccentQueries, NothingBeforeMoreThanGColumns) {
    Onsets onsets(44100);
    std::vector<double> accents = {1, 2};
    std::vector<double> times = {3};
    EXPECT_FALSE(onsets.accentFix(accents));
    EXPECT_FALSE(onsets.getAccents(accents, 0));
    EXPECT_FALSE(onsets.getOnsets(times, 1.0, 0.1));
    EXPECT_EQ(accents, (std::vector<double>{1, 2}));
    EXPECT_EQ(times, std::vector<double>{3});

    // 6 columns, G = 11.
    const std::vector<double> x = onsets_test::burstyAudio(0.1, 44100);
    onsets.addData(x.data(), 2048);
    ASSERT_TRUE(onsets.process());
    EXPECT_FALSE(onsets.accentFix(accents));
    EXPECT_FALSE(onsets.getOnsets(times, 1.0, 0.1));
    EXPECT_EQ(accents, (std::vector<double>{1, 2}));
    EXPECT_EQ(times, std::vector<double>{3});
}

// The accent signal is the band sum of the band envelopes, delay-compensated
// the same way, its last G values predicted.
TEST(AccentQueries, AccentsAreTheBandSumOfTheEnvelopes) {
    for (unsigned int rate : {44100u, 16000u}) {
        const std::vector<double> x = onsets_test::burstyAudio(1.5, rate);
        Onsets onsets(rate);
        onsets_test::feed(onsets, x, 4096);
        Matrix<double> bands;
        std::vector<double> accents;
        ASSERT_TRUE(onsets.getBandEnvs(bands, 0));
        ASSERT_TRUE(onsets.accentFix(accents));
        ASSERT_EQ(accents.size(), bands.nCols());
        for (unsigned int t = 0; t < bands.nCols(); ++t) {
            double sum = 0.0;
            for (unsigned int b = 0; b < bands.nRows(); ++b) sum += bands[b][t];
            EXPECT_NEAR(accents[t], sum, 1e-12 * (1 + sum)) << rate << " " << t;
        }
    }
}

TEST(AccentQueries, GetAccentsFromAColumnOn) {
    const std::vector<double> x = onsets_test::burstyAudio(1.0, 44100);
    Onsets onsets(44100);
    onsets.addData(x);
    ASSERT_TRUE(onsets.process());
    std::vector<double> all, part;
    ASSERT_TRUE(onsets.accentFix(all));
    ASSERT_TRUE(onsets.getAccents(part, 0));
    EXPECT_EQ(part, all);
    ASSERT_TRUE(onsets.getAccents(part, 100));
    EXPECT_EQ(part, std::vector<double>(all.begin() + 100, all.end()));
    ASSERT_TRUE(onsets.getAccents(part, static_cast<unsigned int>(all.size() - 1)));
    EXPECT_EQ(part, std::vector<double>{all.back()});
    // A start at or beyond the end: false, with the whole signal delivered.
    EXPECT_FALSE(onsets.getAccents(part, static_cast<unsigned int>(all.size())));
    EXPECT_EQ(part, all);
    EXPECT_FALSE(onsets.getAccents(part, static_cast<unsigned int>(all.size() + 5)));
}

// ---------------------------------------------------------------------------
// A click train end to end

// Clicks every 0.5 s: one onset per click, spaced by the click period within
// one accent frame. The accent peaks a constant 3 to 7 frames before the
// click (measured 4.3 to 5.7): a frame's column is its first sample while its
// window is centred two columns later, and the weighted difference of the
// 10 Hz-smoothed envelope peaks on its rising edge, before the bump's centre.
// The first click falls into the running statistics' warm-up and is not checked.
TEST(ClickTrain, OnePeakPerClickAtTheClickRate) {
    for (unsigned int rate : {44100u, 16000u}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        std::vector<double> clicks;
        for (double t = 0.25; t < 4.0; t += 0.5) clicks.push_back(t);
        const std::vector<double> x = onsets_test::clickTrain(4.2, rate, clicks);
        Onsets onsets(rate);
        onsets_test::feed(onsets, x, 128);
        const double accentRate = onsets.getAccentSrate();
        const double frame = 1.0 / accentRate;

        std::vector<double> times;
        ASSERT_TRUE(onsets.getOnsets(times, 1.0, 8.0));
        std::vector<double> late;
        for (double t : times)
            if (t > 0.5) late.push_back(t);
        ASSERT_EQ(late.size(), clicks.size() - 1);

        std::vector<double> accents;
        ASSERT_TRUE(onsets.accentFix(accents));
        double minLead = 1e9, maxLead = -1e9;
        for (std::size_t i = 0; i < late.size(); ++i) {
            const double lead = (clicks[i + 1] - late[i]) / frame;  // in accent frames
            EXPECT_GE(lead, 3.0) << i;
            EXPECT_LE(lead, 7.0) << i;
            minLead = std::min(minLead, lead);
            maxLead = std::max(maxLead, lead);
            if (i > 0) {
                EXPECT_NEAR(late[i] - late[i - 1], 0.5, frame) << i;
            }
            // The onset is the accent's maximum around its click.
            const std::size_t p = static_cast<std::size_t>(std::lround(late[i] * accentRate));
            for (std::size_t t = p - 20; t < p + 20; ++t) EXPECT_LE(accents[t], accents[p]);
        }
        EXPECT_LE(maxLead - minLead, 1.0);

        // scale multiplies the times.
        std::vector<double> ms;
        ASSERT_TRUE(onsets.getOnsets(ms, 1000.0, 8.0));
        ASSERT_EQ(ms.size(), times.size());
        for (std::size_t i = 0; i < ms.size(); ++i) EXPECT_NEAR(ms[i], 1000.0 * times[i], 1e-9);
    }
}

}  // namespace
