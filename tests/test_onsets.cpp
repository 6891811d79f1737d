// The accent front end's behaviour: frame bookkeeping, the stored columns and
// their delay compensation, independence of the block sizes, the running
// statistics, every supported rate, and bad input.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "test_onsets_support.h"

using NumaMathLibrary::Matrix;
using onsets_test::burstyAudio;
using onsets_test::feed;
using onsets_test::Snapshot;
using onsets_test::snapshot;
using onsets_test::worstError;

namespace {

constexpr double kFs = 44100.0;
constexpr unsigned int kG = 11;  // group delay at 44100 Hz
// Audio analysed in other pieces differs by rounding of the low-pass filter
// run in pieces (a few 1e-12 measured); comparisons allow 1e-10 absolute
// plus 1e-10 relative.
constexpr double kSplit = 1e-10;

std::vector<double> slice(const std::vector<double>& x, std::size_t from, std::size_t to) {
    return std::vector<double>(x.begin() + from, x.begin() + to);
}

// Number of stored band-envelope columns, given the first stored column:
// clearBandEnvs refuses a start beyond them. Probed on copies.
unsigned int storedColumns(const Onsets& onsets, unsigned int first) {
    for (unsigned int k = 1; k < 1000000; ++k) {
        Onsets probe = onsets;
        if (!probe.clearBandEnvs(first + k, false)) return k;
    }
    return 0;
}

void expectSameSnapshot(const Snapshot& a, const Snapshot& b, double abs, double rel) {
    ASSERT_EQ(a.bandsOk, b.bandsOk);
    ASSERT_EQ(a.accentsOk, b.accentsOk);
    if (a.bandsOk) {
        ASSERT_EQ(a.bands.nRows(), b.bands.nRows());
        ASSERT_EQ(a.bands.nCols(), b.bands.nCols());
        EXPECT_LE(worstError(a.bands.data(), b.bands.data(), a.bands.nElems(), abs, rel), 1.0);
    }
    if (a.accentsOk) {
        ASSERT_EQ(a.accents.size(), b.accents.size());
        EXPECT_LE(worstError(a.accents.data(), b.accents.data(), a.accents.size(), abs, rel), 1.0);
    }
}

// ---------------------------------------------------------------------------
// Frames and the sample buffer

TEST(FrameBookkeeping, AWholeFrameIsNeededAndTheOverlapIsKept) {
    const std::vector<double> x = burstyAudio(0.1, kFs);
    Onsets onsets(44100);
    EXPECT_FALSE(onsets.process());  // no data at all
    onsets.addData(x.data(), 1023);
    EXPECT_FALSE(onsets.process());
    EXPECT_FALSE(onsets.process());
    onsets.addData(x.data() + 1023, 1);
    EXPECT_TRUE(onsets.process());
    EXPECT_FALSE(onsets.process());  // no new data
    EXPECT_EQ(storedColumns(onsets, 0), 2u);
    EXPECT_EQ(onsets.getGroupDelay(), kG);

    // The last 512 samples stayed: 511 more do not complete a frame, 512 do.
    onsets.addData(x.data() + 1024, 511);
    EXPECT_FALSE(onsets.process());
    onsets.addData(x.data() + 1535, 1);
    EXPECT_TRUE(onsets.process());
    EXPECT_EQ(storedColumns(onsets, 0), 4u);
}

TEST(FrameBookkeeping, ThreeFramesFromTwoThousandFortyEightSamples) {
    const std::vector<double> x = burstyAudio(0.2, kFs);
    Onsets onsets(44100);
    onsets.addData(slice(x, 0, 2048));
    EXPECT_TRUE(onsets.process());
    EXPECT_EQ(storedColumns(onsets, 0), 6u);
    Matrix<double> out(2, 3);
    EXPECT_FALSE(onsets.getBandEnvs(out, 0));  // 2F = 6 <= G
    EXPECT_EQ(out.nRows(), 2u);                // untouched
    EXPECT_EQ(out.nCols(), 3u);

    // Samples 1536..2047 were kept: with the next samples they give the
    // frames a single run over the whole audio gives.
    onsets.addData(slice(x, 2048, 8192));
    EXPECT_TRUE(onsets.process());
    Onsets whole(44100);
    whole.addData(slice(x, 0, 8192));
    whole.process();
    expectSameSnapshot(snapshot(onsets), snapshot(whole), kSplit, kSplit);
}

// ---------------------------------------------------------------------------
// Stored columns, delay compensation and the correction of the last column

TEST(StoredColumns, FirstProcessGivesTwoFColumnsWithGPredicted) {
    const std::vector<double> x = burstyAudio(1.0, kFs);
    // 12 columns (F = 6): out has 12 columns, the last 11 from the predicted tail.
    Onsets onsets(44100);
    onsets.addData(slice(x, 0, 1024 + 512 * 5));
    ASSERT_TRUE(onsets.process());
    Matrix<double> first;
    ASSERT_TRUE(onsets.getBandEnvs(first, 0));
    EXPECT_EQ(first.nRows(), 36u);
    EXPECT_EQ(first.nCols(), 12u);

    // Later runs replace the predictions by finished values: column 0 (the
    // provisional last stored column) and the tail change, and everything
    // then equals a single run over all the audio.
    onsets.addData(slice(x, 1024 + 512 * 5, x.size()));
    ASSERT_TRUE(onsets.process());
    Matrix<double> later;
    ASSERT_TRUE(onsets.getBandEnvs(later, 0));
    int changed = 0;
    for (unsigned int b = 0; b < 36; ++b)
        for (unsigned int k = 0; k < 12; ++k) changed += first[b][k] != later[b][k];
    EXPECT_GT(changed, 36 * 6);

    Onsets whole(44100);
    whole.addData(x);
    whole.process();
    expectSameSnapshot(snapshot(onsets), snapshot(whole), kSplit, kSplit);
}

TEST(StoredColumns, FinishedColumnsNeverChangeAndTheLastIsCorrected) {
    const std::vector<double> x = burstyAudio(2.0, kFs);
    Onsets onsets(44100);
    onsets.addData(slice(x, 0, 40000));
    ASSERT_TRUE(onsets.process());
    const Snapshot before = snapshot(onsets);
    const unsigned int K = storedColumns(onsets, 0);
    ASSERT_EQ(before.bands.nCols(), K);
    const unsigned int provisional = K - kG - 1;  // time of the last stored column

    onsets.addData(slice(x, 40000, x.size()));
    ASSERT_TRUE(onsets.process());
    const Snapshot after = snapshot(onsets);
    for (unsigned int b = 0; b < 36; ++b)
        for (unsigned int k = 0; k < provisional; ++k)
            ASSERT_EQ(after.bands[b][k], before.bands[b][k]) << b << " " << k;
    for (unsigned int k = 0; k < provisional; ++k) ASSERT_EQ(after.accents[k], before.accents[k]);

    // The provisional column was differenced against a predicted successor;
    // the second run finished it, per band and in the accent history.
    Onsets whole(44100);
    whole.addData(x);
    whole.process();
    const Snapshot reference = snapshot(whole);
    int bandsCorrected = 0;
    double bandSum = 0.0;
    for (unsigned int b = 0; b < 36; ++b) {
        bandsCorrected += after.bands[b][provisional] != before.bands[b][provisional];
        EXPECT_NEAR(after.bands[b][provisional], reference.bands[b][provisional], kSplit);
        bandSum += after.bands[b][provisional];
    }
    EXPECT_GT(bandsCorrected, 0);
    EXPECT_NE(after.accents[provisional], before.accents[provisional]);
    EXPECT_NEAR(after.accents[provisional], reference.accents[provisional], kSplit);
    EXPECT_NEAR(after.accents[provisional], bandSum, 1e-12);
}

TEST(StoredColumns, MeterFFTenvsReportsTheCorrection) {
    const std::vector<double> x = burstyAudio(0.2, kFs);
    Onsets onsets(44100);
    Matrix<double> envs;
    std::vector<double> accents;
    double envRate = 0.0;
    std::vector<double> run = slice(x, 0, 2048);
    EXPECT_FALSE(onsets.meterFFTenvs(envs, accents, envRate, run, 44100.0));
    EXPECT_EQ(envs.nRows(), 36u);
    EXPECT_EQ(envs.nCols(), 6u);
    EXPECT_EQ(accents.size(), 6u);
    EXPECT_EQ(envRate, 172.265625);
    EXPECT_EQ(onsets.getGroupDelay(), kG);
    for (unsigned int t = 0; t < 6; ++t) {
        double sum = 0.0;
        for (unsigned int b = 0; b < 36; ++b) {
            EXPECT_GE(envs[b][t], 0.0);
            sum += envs[b][t];
        }
        EXPECT_DOUBLE_EQ(accents[t], sum);
    }
    run = slice(x, 1536, 3584);
    EXPECT_TRUE(onsets.meterFFTenvs(envs, accents, envRate, run, 44100.0));
    // A direct run stores nothing: the history is still the placeholder.
    Matrix<double> out;
    EXPECT_FALSE(onsets.getBandEnvs(out, 0));
}

TEST(StoredColumns, ClearingMovesTheFirstColumn) {
    const std::vector<double> x = burstyAudio(1.0, kFs);
    Onsets onsets(44100);
    onsets.addData(x);
    ASSERT_TRUE(onsets.process());
    const Snapshot all = snapshot(onsets);
    const unsigned int K = storedColumns(onsets, 0);

    EXPECT_TRUE(onsets.clearBandEnvs(0, true));  // nothing before column 0
    EXPECT_EQ(storedColumns(onsets, 0), K);
    EXPECT_FALSE(onsets.clearBandEnvs(K, true));  // would leave nothing: refused
    EXPECT_EQ(storedColumns(onsets, 0), K);

    EXPECT_TRUE(onsets.clearBandEnvs(4, true));
    EXPECT_EQ(storedColumns(onsets, 4), K - 4);
    Matrix<double> out(1, 1);
    out[0][0] = 42.0;
    EXPECT_FALSE(onsets.getBandEnvs(out, 3));  // before the first stored column
    EXPECT_EQ(out.nRows(), 1u);
    EXPECT_EQ(out[0][0], 42.0);
    EXPECT_TRUE(onsets.clearBandEnvs(2, true));  // already gone: nothing to do
    ASSERT_TRUE(onsets.getBandEnvs(out, 4));
    ASSERT_EQ(out.nCols(), K - 4);
    for (unsigned int b = 0; b < 36; ++b)
        for (unsigned int k = 0; k < K - 4; ++k) ASSERT_EQ(out[b][k], all.bands[b][k + 4]);

    // Accent values before column 4 are gone too: with fewer than G of them
    // the shift by G hides that; from column 50 on the first 39 read 0.
    std::vector<double> accents;
    ASSERT_TRUE(onsets.accentFix(accents));
    EXPECT_EQ(accents, all.accents);
    EXPECT_TRUE(onsets.clearBandEnvs(50, true));
    ASSERT_TRUE(onsets.accentFix(accents));
    ASSERT_EQ(accents.size(), all.accents.size());
    for (unsigned int t = 0; t < accents.size(); ++t)
        EXPECT_EQ(accents[t], t < 50 - kG ? 0.0 : all.accents[t]) << t;

    // Without alsoAccents only the band envelopes go.
    EXPECT_TRUE(onsets.clearBandEnvs(80, false));
    EXPECT_EQ(storedColumns(onsets, 80), K - 80);
    ASSERT_TRUE(onsets.accentFix(accents));
    EXPECT_EQ(accents[60], all.accents[60]);
}

TEST(StoredColumns, StartInsideThePredictedColumnsGivesTheRestOfTheTail) {
    const std::vector<double> x = burstyAudio(0.5, kFs);
    Onsets onsets(44100);
    onsets.addData(x);
    ASSERT_TRUE(onsets.process());
    const unsigned int K = storedColumns(onsets, 0);
    Matrix<double> all, last3;
    ASSERT_TRUE(onsets.getBandEnvs(all, 0));
    ASSERT_TRUE(onsets.getBandEnvs(last3, K - 3));
    ASSERT_EQ(last3.nCols(), 3u);
    for (unsigned int b = 0; b < 36; ++b)
        for (unsigned int k = 0; k < 3; ++k) EXPECT_EQ(last3[b][k], all[b][K - 3 + k]);
    EXPECT_FALSE(onsets.getBandEnvs(last3, K));
}

// The tracker's loop: take the finished columns from the next unused
// column on, then clear them. Concatenated, they are a single run's columns.
TEST(StoredColumns, ConsumingAndClearingLikeTheTrackerLosesNothing) {
    const std::vector<double> x = burstyAudio(3.0, kFs);
    Onsets whole(44100);
    whole.addData(x);
    whole.process();
    const Snapshot reference = snapshot(whole);

    Onsets onsets(44100);
    std::vector<std::vector<double>> consumed(36);
    unsigned int next = 0;
    for (std::size_t i = 0; i < x.size(); i += 4410) {
        onsets.addData(x.data() + i, 4410);
        if (!onsets.process()) continue;
        Matrix<double> out;
        if (!onsets.getBandEnvs(out, next)) continue;
        const unsigned int finished = out.nCols() - onsets.getGroupDelay() - 1;  // not provisional
        for (unsigned int b = 0; b < 36; ++b)
            consumed[b].insert(consumed[b].end(), out[b], out[b] + finished);
        next += finished;
        EXPECT_TRUE(onsets.clearBandEnvs(next, true));
        EXPECT_LE(storedColumns(onsets, next), 300u);  // the history stays short
    }
    ASSERT_GT(next, 400u);
    for (unsigned int b = 0; b < 36; ++b)
        EXPECT_LE(worstError(consumed[b].data(), reference.bands[b], next, kSplit, kSplit), 1.0);
}

// ---------------------------------------------------------------------------
// Block sizes

// Every sample enters the running statistics once and every frame is
// normalised by the statistics up to its own end, so the block sizes do not
// matter: results agree up to the rounding of the filter run in pieces (kSplit).
TEST(BlockSizes, AnyBlockSizesGiveTheSameColumns) {
    const std::vector<double> x = burstyAudio(3.0, kFs);
    Onsets whole(44100);
    feed(whole, x, 0);
    const Snapshot reference = snapshot(whole);
    ASSERT_TRUE(reference.bandsOk);
    ASSERT_EQ(reference.bands.nCols(), 2 * ((x.size() - 1024) / 512 + 1));
    for (std::size_t block : {1, 128, 1000, 44100, 100000}) {
        SCOPED_TRACE("block " + std::to_string(block));
        Onsets onsets(44100);
        feed(onsets, x, block);
        expectSameSnapshot(snapshot(onsets), reference, kSplit, kSplit);
    }
}

TEST(BlockSizes, IrregularBlocksAndEmptyBlocks) {
    const std::vector<double> x = burstyAudio(2.0, kFs);
    Onsets whole(44100);
    feed(whole, x, 0);
    Onsets onsets(44100);
    onsets_test::Lcg rng(3);
    for (std::size_t i = 0; i < x.size();) {
        const std::size_t n = std::min<std::size_t>(x.size() - i, (rng.next() + 0.5) * 3000);
        onsets.addData(x.data() + i, static_cast<unsigned int>(n));
        onsets.addData(nullptr, 0);
        if (rng.next() > 0) onsets.process();
        i += n;
    }
    onsets.process();
    expectSameSnapshot(snapshot(onsets), snapshot(whole), kSplit, kSplit);
}

// The tracker leaves audio in the buffer until a step's columns are there and
// then analyses it in one run: the columns must be those of frame-by-frame
// runs exactly, not merely within rounding, and columnEndAfterProcess must
// say beforehand where the stored columns will end.
TEST(BlockSizes, OneLongRunGivesExactlyTheColumnsOfFrameByFrameRuns) {
    const std::vector<double> x = burstyAudio(4.0, kFs);
    Onsets everyBlock(44100), deferred(44100);
    // Column end at which the deferred front end runs next: first once more
    // than the G predicted columns are there, then every half second.
    unsigned int nextRunAt = kG + 1;
    int runs = 0;
    for (std::size_t i = 0; i < x.size(); i += 128) {
        const unsigned int n = static_cast<unsigned int>(std::min<std::size_t>(128, x.size() - i));
        everyBlock.addData(x.data() + i, n);
        everyBlock.process();
        deferred.addData(x.data() + i, n);
        const unsigned int predicted = deferred.columnEndAfterProcess();
        if (predicted < nextRunAt) continue;
        ASSERT_TRUE(deferred.process());
        ++runs;
        nextRunAt = predicted + 86;  // half a second of columns later
        const Snapshot got = snapshot(deferred), want = snapshot(everyBlock);
        ASSERT_TRUE(got.bandsOk);
        EXPECT_EQ(got.bands.nCols(), predicted);
        EXPECT_EQ(deferred.columnEndAfterProcess(), predicted) << "nothing left to analyse";
        ASSERT_EQ(got.bands.nCols(), want.bands.nCols());
        ASSERT_EQ(got.bands.nRows(), want.bands.nRows());
        for (std::size_t k = 0; k < got.bands.nElems(); ++k)
            ASSERT_EQ(got.bands.data()[k], want.bands.data()[k]) << "element " << k;
        ASSERT_EQ(got.accents, want.accents);
    }
    EXPECT_GE(runs, 7);
}

TEST(BlockSizes, ColumnEndCountsTwoColumnsPerWholeFrameWaiting) {
    Onsets onsets(44100);
    EXPECT_EQ(onsets.columnEndAfterProcess(), 0u);
    const std::vector<double> x = burstyAudio(1.0, kFs);
    onsets.addData(x.data(), 1023);
    EXPECT_EQ(onsets.columnEndAfterProcess(), 0u);
    onsets.addData(x.data() + 1023, 1);
    EXPECT_EQ(onsets.columnEndAfterProcess(), 2u);
    onsets.addData(x.data() + 1024, 1024 + 511);  // two more frames, one sample short of three
    EXPECT_EQ(onsets.columnEndAfterProcess(), 6u);
    ASSERT_TRUE(onsets.process());
    EXPECT_EQ(onsets.columnEndAfterProcess(), 6u);
    onsets.addData(x.data() + 2559, 1);
    EXPECT_EQ(onsets.columnEndAfterProcess(), 8u);
    // Cleared columns still count: the end is a stream column.
    ASSERT_TRUE(onsets.clearBandEnvs(4, true));
    EXPECT_EQ(onsets.columnEndAfterProcess(), 8u);
}

// ---------------------------------------------------------------------------
// Running statistics and the seeded substitute for a constant input

TEST(RunningStatistics, FoldedSamplesGiveMeanAndUnbiasedStd) {
    Onsets onsets(44100);
    double mean = -1, std = -1;
    std::vector<double> v = {4.0};
    onsets.getMeanAndStd(mean, std, v);
    EXPECT_EQ(mean, 4.0);
    EXPECT_EQ(std, 0.0);
    v = {1.0, 2.0, 3.0};
    onsets.getMeanAndStd(mean, std, v);
    EXPECT_DOUBLE_EQ(mean, 2.5);
    EXPECT_DOUBLE_EQ(std, std::sqrt(5.0 / 3.0));
    v.clear();
    onsets.getMeanAndStd(mean, std, v);
    EXPECT_DOUBLE_EQ(mean, 2.5);
}

// Statistics over exactly the analysed samples, each counted once, against
// a two-pass computation in long double; also for audio riding on an offset
// far larger than itself, where a running sum of squares would lose the
// deviation to cancellation.
TEST(RunningStatistics, EveryAnalysedSampleCountsOnce) {
    for (const double offset : {0.0, 1e4}) {
        std::vector<double> x = burstyAudio(0.5, kFs);
        for (double& v : x) v += offset;
        auto expected = [&](std::size_t n, double& mean, double& std) {
            long double s = 0, ss = 0;
            for (std::size_t i = 0; i < n; ++i) s += x[i];
            const long double m = s / n;
            for (std::size_t i = 0; i < n; ++i) ss += (x[i] - m) * (x[i] - m);
            mean = static_cast<double>(m);
            std = static_cast<double>(std::sqrt(ss / (n - 1)));
        };
        // Within what double precision allows: the deviations from the mean
        // are only known to a few units in the last place of the values.
        auto tolerance = [offset](double s) {
            return 1e-12 * s + 4 * std::numeric_limits<double>::epsilon() * offset;
        };
        Onsets onsets(44100);
        std::vector<double> none;
        double mean, std, m, s;
        onsets.addData(slice(x, 0, 2048 + 100));  // 3 frames; 612 samples wait
        onsets.process();
        onsets.getMeanAndStd(mean, std, none);
        expected(2048, m, s);
        EXPECT_NEAR(mean, m, tolerance(s)) << "offset " << offset;
        EXPECT_NEAR(std, s, tolerance(s)) << "offset " << offset;
        // More blocks of assorted sizes; only whole frames are analysed.
        std::size_t fed = 2148;
        for (std::size_t block : {128, 1000, 7}) {
            for (int n = 0; n < 17; ++n, fed += block) {
                onsets.addData(x.data() + fed, static_cast<unsigned int>(block));
                onsets.process();
            }
        }
        onsets.getMeanAndStd(mean, std, none);
        const std::size_t analysed = 1024 + 512 * ((fed - 1024) / 512);
        expected(analysed, m, s);
        EXPECT_NEAR(mean, m, tolerance(s)) << "offset " << offset;
        EXPECT_NEAR(std, s, tolerance(s)) << "offset " << offset;
    }
}

TEST(RunningStatistics, DigitalSilenceGivesFiniteEnvelopesAndLeavesRandAlone) {
    std::srand(5);
    const int expectedNext = std::rand();
    std::srand(5);

    const std::vector<double> silence(44100, 0.0);
    Onsets onsets(44100), again(44100);
    feed(onsets, silence, 128);
    feed(again, silence, 0);
    const Snapshot s = snapshot(onsets);
    ASSERT_TRUE(s.bandsOk);
    EXPECT_TRUE(onsets_test::allFinite(s.bands.data(), s.bands.nElems()));
    for (double v : s.accents) EXPECT_GE(v, 0.0);
    expectSameSnapshot(s, snapshot(again), kSplit, kSplit);

    double mean, std;
    std::vector<double> none;
    onsets.getMeanAndStd(mean, std, none);
    EXPECT_GT(std, 0.0);  // the substitute noise entered the statistics
    EXPECT_LT(std, 1e-5);

    EXPECT_EQ(std::rand(), expectedNext);
}

// ---------------------------------------------------------------------------
// Sample rates

struct RateCase {
    unsigned int rate;
    unsigned int frameLength;
    unsigned int bands;
    double accentRate;
    unsigned int G;
};

class Rates : public testing::TestWithParam<RateCase> {};

TEST_P(Rates, SizesFollowTheRate) {
    const RateCase c = GetParam();
    const std::vector<double> x = burstyAudio(1.0, c.rate);
    Onsets onsets(c.rate);
    EXPECT_EQ(onsets.getAccentSrate(), c.accentRate);
    onsets.addData(x.data(), c.frameLength - 1);
    EXPECT_FALSE(onsets.process());
    onsets.addData(x.data() + c.frameLength - 1, 1);
    EXPECT_TRUE(onsets.process());
    EXPECT_EQ(storedColumns(onsets, 0), 2u);
    onsets.addData(slice(x, c.frameLength, x.size()));
    EXPECT_TRUE(onsets.process());
    EXPECT_EQ(onsets.getGroupDelay(), c.G);
    Matrix<double> out;
    ASSERT_TRUE(onsets.getBandEnvs(out, 0));
    EXPECT_EQ(out.nRows(), c.bands);
    EXPECT_EQ(out.nCols(), 2 * ((x.size() - c.frameLength) / (c.frameLength / 2) + 1));
    EXPECT_TRUE(onsets_test::allFinite(out.data(), out.nElems()));

    // setSrate from another rate gives the same as a fresh object.
    Onsets switched(c.rate == 44100 ? 8000 : 44100);
    feed(switched, burstyAudio(0.3, 44100), 0);
    switched.setSrate(c.rate);
    EXPECT_EQ(switched.getAccentSrate(), c.accentRate);
    feed(switched, x, 0);
    expectSameSnapshot(snapshot(switched), snapshot(onsets), kSplit, kSplit);
}

INSTANTIATE_TEST_SUITE_P(AllSupported, Rates,
                         testing::Values(RateCase{44100, 1024, 36, 172.265625, 11},
                                         RateCase{32000, 1024, 36, 125.0, 8},
                                         RateCase{22050, 512, 18, 172.265625, 11},
                                         RateCase{16000, 512, 18, 125.0, 8},
                                         RateCase{8000, 256, 9, 125.0, 8}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return "rate_" + std::to_string(info.param.rate);
                         });

// The message goes to standard error, where it is looked for, ahead of the
// assertion.
void expectUnsupportedRateDeath(const std::function<void()>& statement) {
    EXPECT_DEATH(
        {
            statement();
        },
        "Supported sampling rates: 44\\.1,32,22\\.05,16,8 kHz\\.\n.*supported sampling rate");
}

TEST(RatesDeathTest, UnsupportedRateSaysSoAndStops) {
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    expectUnsupportedRateDeath([] { Onsets onsets(48000); });
    expectUnsupportedRateDeath([] { Onsets onsets(44101); });
    expectUnsupportedRateDeath([] {
        Onsets onsets(44100);
        onsets.setSrate(11025);
    });
    expectUnsupportedRateDeath([] {
        Onsets onsets(44100);
        Matrix<double> envs;
        std::vector<double> accents, samples(2048, 0.1);
        double envRate;
        onsets.meterFFTenvs(envs, accents, envRate, samples, 44000.0);
    });
}

TEST(Rates, RatesMatchWithinOneHundredthOfAHertz) {
    Onsets onsets(44100);
    Matrix<double> envs;
    std::vector<double> accents, samples = burstyAudio(0.1, kFs);
    samples.resize(2048);
    double envRate = 0.0;
    onsets.meterFFTenvs(envs, accents, envRate, samples, 44100.005);
    EXPECT_EQ(envs.nCols(), 6u);
    EXPECT_DOUBLE_EQ(envRate, 4 * 44100.005 / 1024);
}

// ---------------------------------------------------------------------------
// Reset and copies

TEST(Lifecycle, ResetAndAssignmentStartAfresh) {
    const std::vector<double> x = burstyAudio(1.0, kFs);
    Onsets fresh(44100);
    feed(fresh, x, 0);
    const Snapshot reference = snapshot(fresh);

    Onsets onsets(44100);
    feed(onsets, burstyAudio(0.7, kFs, 99), 300);
    onsets.addData(x.data(), 700);  // left in the buffer
    onsets.reset();
    EXPECT_EQ(onsets.getGroupDelay(), 0u);
    EXPECT_FALSE(onsets.process());
    Matrix<double> out(1, 1);
    EXPECT_FALSE(onsets.getBandEnvs(out, 0));
    std::vector<double> accents = {7.0};
    EXPECT_FALSE(onsets.accentFix(accents));
    EXPECT_FALSE(onsets.getAccents(accents, 0));
    EXPECT_EQ(accents, std::vector<double>{7.0});
    EXPECT_TRUE(onsets.clearBandEnvs(0, true));
    EXPECT_FALSE(onsets.clearBandEnvs(1, true));
    feed(onsets, x, 0);
    expectSameSnapshot(snapshot(onsets), reference, 0.0, 0.0);

    Onsets assigned(44100);
    feed(assigned, burstyAudio(0.5, kFs, 5), 0);
    assigned = Onsets(44100);
    feed(assigned, x, 0);
    expectSameSnapshot(snapshot(assigned), reference, 0.0, 0.0);
}

// ---------------------------------------------------------------------------
// Bad input

TEST(BadInput, EmptyBlocksChangeNothing) {
    Onsets onsets(44100);
    onsets.addData(nullptr, 0);
    EXPECT_FALSE(onsets.process());
    onsets.addData(std::vector<double>());
    EXPECT_FALSE(onsets.process());

    const std::vector<double> x = burstyAudio(1.0, kFs);
    Onsets plain(44100);
    feed(plain, x, 1000);
    for (std::size_t i = 0; i < x.size(); i += 1000) {
        onsets.addData(x.data() + i,
                       static_cast<unsigned int>(std::min<std::size_t>(1000, x.size() - i)));
        onsets.addData(x.data(), 0);
        onsets.process();
        onsets.addData(nullptr, 0);
        EXPECT_FALSE(onsets.process());
    }
    expectSameSnapshot(snapshot(onsets), snapshot(plain), 0.0, 0.0);
}

// A non-finite sample counts as 0 before it reaches the statistics: the
// output equals that of the audio with those samples zeroed.
TEST(BadInput, NonFiniteSamplesCountAsSilence) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> x = burstyAudio(2.0, kFs);
    std::vector<double> zeroed = x;
    onsets_test::Lcg rng(11);
    const double bad[] = {nan, inf, -inf, -nan};
    for (std::size_t k = 0; k < 300; ++k) {
        const std::size_t i = k == 0 ? 0 : static_cast<std::size_t>((rng.next() + 0.5) * x.size());
        x[i] = bad[k % 4];
        zeroed[i] = 0.0;
    }
    std::fill(x.begin() + 50000, x.begin() + 52000, nan);  // a whole frame and more
    std::fill(zeroed.begin() + 50000, zeroed.begin() + 52000, 0.0);

    Onsets dirty(44100), clean(44100);
    feed(dirty, x, 128);
    feed(clean, zeroed, 128);
    const Snapshot s = snapshot(dirty);
    ASSERT_TRUE(s.bandsOk);
    EXPECT_TRUE(onsets_test::allFinite(s.bands.data(), s.bands.nElems()));
    EXPECT_TRUE(onsets_test::allFinite(s.accents.data(), s.accents.size()));
    expectSameSnapshot(s, snapshot(clean), 0.0, 0.0);

    double mean, std;
    std::vector<double> more = {nan, inf};
    dirty.getMeanAndStd(mean, std, more);
    EXPECT_TRUE(std::isfinite(mean));
    EXPECT_TRUE(std::isfinite(std));
}

// The analysis normalises by the running mean and deviation, so scaling the
// audio changes nothing but rounding, however loud it is.
TEST(BadInput, LoudAudioGivesTheSameEnvelopes) {
    const std::vector<double> x = burstyAudio(2.0, kFs);
    Onsets quiet(44100);
    feed(quiet, x, 512);
    const Snapshot reference = snapshot(quiet);
    for (double scale : {1e-30, 1e6, 1e30, 1e90}) {
        std::vector<double> scaled = x;
        for (double& v : scaled) v *= scale;
        Onsets onsets(44100);
        feed(onsets, scaled, 512);
        expectSameSnapshot(snapshot(onsets), reference, 1e-9, 1e-9);
    }
}

// Beyond 1e100 samples are capped, so that no square or sum in the running
// statistics overflows; the output stays finite, also for audio after them.
TEST(BadInput, HugeSamplesAreCappedAndLaterAudioStaysFinite) {
    std::vector<double> x = burstyAudio(3.0, kFs);
    std::vector<double> capped = x;
    const double huge[] = {1e300, -DBL_MAX, 1e200, -1e101};
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t i = 10000 + 7919 * k;
        x[i] = huge[k];
        capped[i] = huge[k] > 0 ? 1e100 : -1e100;
    }
    Onsets onsets(44100), reference(44100);
    feed(onsets, x, 128);
    feed(reference, capped, 128);
    const Snapshot s = snapshot(onsets);
    ASSERT_TRUE(s.bandsOk);
    EXPECT_TRUE(onsets_test::allFinite(s.bands.data(), s.bands.nElems()));
    expectSameSnapshot(s, snapshot(reference), 0.0, 0.0);
    for (double v : s.accents) EXPECT_GE(v, 0.0);
}

}  // namespace
