// The meter tracker driver: when analysis steps run, what a step leaves in
// the pulse cache and the pulse lists, reset, flushing the pulse cache, the
// half-time change, and inputs at the edges (silence, other sample rates).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "meterPerPha2Pulse.h"
#include "meterTrackerC.h"
#include "synthetic_drums.h"

using meterTracker::mTracker;

namespace {

const unsigned kRate = 44100;
const unsigned kBlock = 128;
const double kAccentRate = 172.265625;
const unsigned kHop = 86;         // accent frames per step
const unsigned kGroupDelay = 11;  // predicted accent frames at 44100 Hz

std::vector<double> drumMusic(double seconds, double bpm = 120.0, unsigned rate = kRate) {
    synth::DrumPattern p;
    p.bpm = bpm;
    p.seconds = seconds;
    p.sampleRate = rate;
    return synth::drums(p).samples;
}

// Feeds samples [from, to) in blocks of 128, calling process after each.
// Returns how many process calls reported a step.
int feed(mTracker& t, const std::vector<double>& x, std::size_t from = 0,
         std::size_t to = static_cast<std::size_t>(-1)) {
    to = std::min(to, x.size());
    int successes = 0;
    for (std::size_t i = from; i < to; i += kBlock) {
        t.addData(&x[i], static_cast<unsigned>(std::min<std::size_t>(kBlock, to - i)));
        successes += t.process() ? 1 : 0;
    }
    return successes;
}

struct Estimates {
    double tatumPeriod, beatPeriod, barPeriod, tatumPhase, beatPhase, barPhase;
};

Estimates latest(const mTracker& t) {
    Estimates e;
    t.getLatestPeriodEsts(e.tatumPeriod, e.beatPeriod, e.barPeriod, e.tatumPhase, e.beatPhase,
                          e.barPhase);
    return e;
}

void expectSameCache(const mTracker& a, const mTracker& b) {
    const auto& ca = a.getPulseCache();
    const auto& cb = b.getPulseCache();
    ASSERT_EQ(ca.nRows(), cb.nRows());
    ASSERT_EQ(ca.nCols(), cb.nCols());
    for (unsigned r = 0; r < ca.nRows(); ++r)
        for (unsigned c = 0; c < ca.nCols(); ++c) EXPECT_EQ(ca[r][c], cb[r][c]) << r << "," << c;
}

void expectSameLists(const mTracker& a, const mTracker& b) {
    std::vector<double> ta, be, ba, tb, bb, bab;
    a.getMeters(ta, be, ba);
    b.getMeters(tb, bb, bab);
    EXPECT_EQ(ta, tb);
    EXPECT_EQ(be, bb);
    EXPECT_EQ(ba, bab);
}

// ------------------------------------------------------------- first step

TEST(TrackerFirstStep, EstimatesAreMinusOneUntilTheFirstStepCompletes) {
    const std::vector<double> x = drumMusic(2.0);
    mTracker t(kRate);
    const Estimates before = latest(t);
    for (double v : {before.tatumPeriod, before.beatPeriod, before.barPeriod, before.tatumPhase,
                     before.beatPhase, before.barPhase})
        EXPECT_EQ(v, -1.0);

    // A step needs G + hop = 97 accent frames; two come from each 512-sample
    // front-end hop after the first 1024 samples, so 49 frames (25600
    // samples, 200 blocks) are the first that suffice.
    std::size_t firstSuccessAt = 0;
    for (std::size_t i = 0; i < x.size(); i += kBlock) {
        t.addData(&x[i], kBlock);
        if (t.process()) {
            firstSuccessAt = i + kBlock;
            break;
        }
        const Estimates e = latest(t);
        ASSERT_EQ(e.beatPeriod, -1.0) << "after " << i + kBlock << " samples";
        ASSERT_EQ(e.barPhase, -1.0);
    }
    EXPECT_EQ(firstSuccessAt, 25600u);
    EXPECT_EQ(t.getStepsDone(), 1u);
    EXPECT_EQ(t.getFrameCount(), kHop);
    ASSERT_EQ((25600 - 1024) / 512 * 2 + 2, kGroupDelay + kHop + 1);  // the arithmetic above

    const Estimates e = latest(t);
    EXPECT_GT(e.tatumPeriod, 0.0);
    EXPECT_GT(e.beatPeriod, 0.0);
    EXPECT_GT(e.barPeriod, 0.0);
    EXPECT_EQ(e.tatumPhase, e.beatPhase);  // the tatum takes the beat's phase
}

TEST(TrackerFirstStep, PulseListsStartWithTheStepsPhases) {
    const std::vector<double> x = drumMusic(1.0);
    mTracker t(kRate);
    ASSERT_EQ(feed(t, x, 0, 25600), 1);
    const Estimates e = latest(t);
    std::vector<double> tatum, beat, bar;
    t.getMeters(tatum, beat, bar);
    ASSERT_FALSE(tatum.empty());
    ASSERT_FALSE(beat.empty());
    ASSERT_FALSE(bar.empty());
    EXPECT_EQ(tatum[0], e.tatumPhase);
    EXPECT_EQ(beat[0], e.beatPhase);
    EXPECT_EQ(bar[0], e.barPhase);
    // One step gives one pulse per level.
    EXPECT_EQ(tatum.size(), 1u);
    EXPECT_EQ(beat.size(), 1u);
    EXPECT_EQ(bar.size(), 1u);
}

// --------------------------------------------------------- steps per call

TEST(TrackerSteps, TenSecondsAtOnceRunAllWholeStepsInOneCall) {
    const std::vector<double> x = drumMusic(10.0);
    mTracker t(kRate);
    t.addData(x.data(), static_cast<unsigned>(x.size()));
    ASSERT_TRUE(t.process());

    // F accent frames from (441000 - 1024) / 512 + 1 front-end frames.
    const unsigned frames = (441000 - 1024) / 512 + 1;
    const unsigned F = 2 * frames;
    const unsigned expected = (F - kGroupDelay) / kHop;  // floor((F - G) / hop)
    EXPECT_EQ(expected, 19u);
    EXPECT_EQ(t.getStepsDone(), expected);
    EXPECT_EQ(t.getPulseCache().nRows(), expected);
    EXPECT_EQ(t.getPulseCache().nCols(), 3u);
    EXPECT_EQ(t.getFrameCount(), expected * kHop);

    // Nothing new: nothing runs and nothing changes.
    const Estimates e = latest(t);
    EXPECT_FALSE(t.process());
    EXPECT_EQ(t.getStepsDone(), expected);
    EXPECT_EQ(latest(t).beatPhase, e.beatPhase);
}

TEST(TrackerSteps, BlockFeedingRunsOneStepPerHalfSecond) {
    const std::vector<double> x = drumMusic(10.0);
    mTracker t(kRate);
    const int successes = feed(t, x);
    EXPECT_EQ(t.getStepsDone(), 19u);
    EXPECT_EQ(successes, 19);  // 128-sample blocks never complete two steps at once
}

TEST(TrackerSteps, EveryStepsPhasesLieWithinTheAudioItCovers) {
    // Phase candidates are positions inside the last period before the
    // step's last frame n: ((n + 1) - tau + 1 + p) / fs + 0.5 / fs.
    const std::vector<double> x = drumMusic(15.0, 97.0);
    mTracker t(kRate);
    feed(t, x);
    const auto& cache = t.getPulseCache();
    ASSERT_EQ(cache.nRows(), t.getStepsDone());
    for (unsigned s = 0; s < cache.nRows(); ++s) {
        const double end = (s + 1) * kHop / kAccentRate;  // (n + 1) / fs
        for (int level : {0, 1}) {
            const double period = cache[s][level].real();
            const double phase = cache[s][level].imag();
            const double tau = std::min(std::round(period * kAccentRate), 689.0);
            EXPECT_LE(phase, end + 0.5 / kAccentRate + 1e-12) << "step " << s << " level " << level;
            EXPECT_GE(phase, end - (tau - 1.0) / kAccentRate - 1e-9)
                << "step " << s << " level " << level;
        }
        EXPECT_EQ(cache[s][2].imag(), cache[s][0].imag());
    }
}

TEST(TrackerSteps, LatestEstimatesAreTheLastCacheRow) {
    const std::vector<double> x = drumMusic(6.0);
    mTracker t(kRate);
    feed(t, x);
    const auto& cache = t.getPulseCache();
    const unsigned last = cache.nRows() - 1;
    const Estimates e = latest(t);
    EXPECT_EQ(e.beatPeriod, cache[last][0].real());
    EXPECT_EQ(e.barPeriod, cache[last][1].real());
    EXPECT_EQ(e.tatumPeriod, cache[last][2].real());
    EXPECT_EQ(e.beatPhase, cache[last][0].imag());
    EXPECT_EQ(e.barPhase, cache[last][1].imag());
    EXPECT_EQ(e.tatumPhase, cache[last][2].imag());
}

// ------------------------------------------------------------------ reset

TEST(TrackerReset, ReturnsToTheStateOfAFreshTracker) {
    const std::vector<double> first = drumMusic(8.0, 140.0);
    const std::vector<double> second = drumMusic(8.0, 100.0);
    mTracker used(kRate);
    feed(used, first);
    ASSERT_GT(used.getStepsDone(), 0u);
    used.reset();

    EXPECT_EQ(used.getStepsDone(), 0u);
    EXPECT_EQ(used.getFrameCount(), 0u);
    EXPECT_EQ(used.getFlushedRows(), 0);
    EXPECT_EQ(latest(used).beatPeriod, -1.0);
    std::vector<double> tatum, beat, bar;
    used.getMeters(tatum, beat, bar);
    EXPECT_EQ(tatum, std::vector<double>{0.0});
    EXPECT_EQ(beat, std::vector<double>{0.0});
    EXPECT_EQ(bar, std::vector<double>{0.0});

    // Every piece of state (banks, energies, channel means, histories, Viterbi
    // scores) is cleared: the same audio now gives exactly what it gives a
    // tracker that never saw the first piece.
    mTracker fresh(kRate);
    feed(used, second);
    feed(fresh, second);
    expectSameCache(used, fresh);
    expectSameLists(used, fresh);
    EXPECT_EQ(used.getBeatyness(), fresh.getBeatyness());
}

// ------------------------------------------------------------- beatyness

TEST(TrackerBeatyness, IsTheMeanOfTheValues) {
    mTracker t(kRate);
    std::vector<double> values{1.0, 2.0, 3.0};
    t.calculateBeatyness(values);
    EXPECT_DOUBLE_EQ(t.getBeatyness(), 2.0);
    std::vector<double> empty;
    t.calculateBeatyness(empty);
    EXPECT_EQ(t.getBeatyness(), 0.0);
}

TEST(TrackerBeatyness, StepsSetAPositiveBeatynessForMusic) {
    mTracker t(kRate);
    EXPECT_EQ(t.getBeatyness(), 0.0);
    feed(t, drumMusic(3.0));
    EXPECT_GT(t.getBeatyness(), 0.0);
    EXPECT_TRUE(std::isfinite(t.getBeatyness()));
}

// ------------------------------------------------------- flushPulseCache

TEST(TrackerFlush, BeforeTheFirstStepRemovesNothing) {
    mTracker t(kRate);
    EXPECT_FALSE(t.flushPulseCache(1e9));
    EXPECT_EQ(t.getFlushedRows(), 0);
    EXPECT_EQ(latest(t).beatPeriod, -1.0);
}

TEST(TrackerFlush, ATimeBeforeEveryRowRemovesNothing) {
    mTracker t(kRate);
    feed(t, drumMusic(5.0));
    const unsigned rows = t.getPulseCache().nRows();
    ASSERT_GT(rows, 3u);
    EXPECT_FALSE(t.flushPulseCache(t.getPulseCache()[0][2].imag()));  // not strictly after
    EXPECT_FALSE(t.flushPulseCache(-100.0));
    EXPECT_EQ(t.getPulseCache().nRows(), rows);
    EXPECT_EQ(t.getFlushedRows(), 0);
}

TEST(TrackerFlush, ATimeAfterEveryRowKeepsOnlyTheNewestRow) {
    mTracker t(kRate);
    feed(t, drumMusic(5.0));
    const auto cacheBefore = t.getPulseCache();
    const unsigned rows = cacheBefore.nRows();
    const Estimates e = latest(t);
    EXPECT_TRUE(t.flushPulseCache(1e9));
    EXPECT_EQ(t.getFlushedRows(), static_cast<int>(rows - 1));
    ASSERT_EQ(t.getPulseCache().nRows(), 1u);
    for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(t.getPulseCache()[0][c], cacheBefore[rows - 1][c]);
    const Estimates after = latest(t);
    EXPECT_EQ(after.beatPhase, e.beatPhase);
    EXPECT_EQ(after.tatumPeriod, e.tatumPeriod);
    // The newest row is always kept: flushing again removes nothing.
    EXPECT_FALSE(t.flushPulseCache(1e9));
}

TEST(TrackerFlush, RemovesRowsUpToTheLastTatumPhaseBeforeTheTime) {
    mTracker t(kRate);
    feed(t, drumMusic(6.0));
    const auto cacheBefore = t.getPulseCache();
    const unsigned rows = cacheBefore.nRows();
    // A time just after row 4's tatum phase (rows are in time order here).
    const double time = cacheBefore[4][2].imag() + 1e-9;
    unsigned lastBefore = 0;
    for (unsigned r = 0; r < rows; ++r)
        if (time > cacheBefore[r][2].imag()) lastBefore = r;
    ASSERT_LT(lastBefore, rows - 1);
    EXPECT_TRUE(t.flushPulseCache(time));
    EXPECT_EQ(t.getFlushedRows(), static_cast<int>(lastBefore + 1));
    ASSERT_EQ(t.getPulseCache().nRows(), rows - lastBefore - 1);
    for (unsigned r = 0; r < t.getPulseCache().nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c)
            EXPECT_EQ(t.getPulseCache()[r][c], cacheBefore[r + lastBefore + 1][c]);
}

TEST(TrackerFlush, LaterStepsLandInTheRightRows) {
    // Flushing changes where steps are stored, not what they compute.
    const std::vector<double> x = drumMusic(12.0, 133.0);
    mTracker flushed(kRate), whole(kRate);
    const std::size_t half = x.size() / 2;
    feed(flushed, x, 0, half);
    feed(whole, x, 0, half);
    ASSERT_TRUE(flushed.flushPulseCache(3.0));
    const int dropped = flushed.getFlushedRows();
    ASSERT_GT(dropped, 0);
    feed(flushed, x, half);
    feed(whole, x, half);

    ASSERT_EQ(flushed.getStepsDone(), whole.getStepsDone());
    const auto& a = flushed.getPulseCache();
    const auto& b = whole.getPulseCache();
    ASSERT_EQ(a.nRows() + dropped, b.nRows());
    for (unsigned r = 0; r < a.nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(a[r][c], b[r + dropped][c]) << r;
    // The pulse lists are rebuilt from the remaining rows only.
    std::vector<double> tatum, beat, bar;
    flushed.getMeters(tatum, beat, bar);
    EXPECT_EQ(beat.front(), a[0][0].imag());
    EXPECT_EQ(bar.front(), a[0][1].imag());
}

// ------------------------------------------------------------- half time

// ------------------------------------------------------- pulse lists, history

TEST(TrackerPulseLists, AreThePulsesOfEveryRowOfTheCache) {
    const std::vector<double> x = drumMusic(40.0, 127.0);
    mTracker t(kRate);
    feed(t, x);
    std::vector<double> tatum, beat, bar;
    t.getMeters(tatum, beat, bar);
    const auto& cache = t.getPulseCache();
    const std::pair<unsigned, const std::vector<double>*> levels[] = {
        {0, &beat}, {1, &bar}, {2, &tatum}};
    for (const auto& [column, list] : levels) {
        std::vector<double> periods, phases, whole;
        for (unsigned r = 0; r < cache.nRows(); ++r) {
            periods.push_back(cache[r][column].real());
            phases.push_back(cache[r][column].imag());
        }
        meterTracker::meterPerPha2Pulse(periods, phases, whole);
        EXPECT_EQ(*list, whole) << "column " << column;
    }
}

TEST(TrackerHistoryLimit, KeepsTheRecentTailAndComputesTheSame) {
    const std::vector<double> x = drumMusic(150.0, 141.0);
    mTracker limited(kRate), whole(kRate);
    limited.setHistoryLimit(20.0);
    feed(limited, x);
    feed(whole, x);
    ASSERT_EQ(limited.getStepsDone(), whole.getStepsDone());
    // About 20 s of rows (plus the batch not yet dropped), the newest ones.
    const auto& a = limited.getPulseCache();
    const auto& b = whole.getPulseCache();
    const int dropped = limited.getFlushedRows();
    EXPECT_GT(dropped, 150);
    EXPECT_LT(a.nRows(), 2u * 40 + 64);
    ASSERT_EQ(a.nRows() + dropped, b.nRows());
    for (unsigned r = 0; r < a.nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(a[r][c], b[r + dropped][c]) << r;
    for (unsigned column = 0; column < 3; ++column) {
        const meterTracker::PulseTrain& kept = limited.getPulseTrain(column);
        const std::vector<double>& all = whole.getPulseTrain(column).pulses();
        ASSERT_GT(kept.dropped(), 0u);
        ASSERT_EQ(kept.dropped() + kept.pulses().size(), all.size()) << column;
        for (std::size_t k = 0; k < kept.pulses().size(); ++k)
            EXPECT_EQ(kept.pulses()[k], all[kept.dropped() + k]);
        EXPECT_LT(kept.pulses().size(), 250u) << "20 s of pulses and a batch not yet dropped";
    }
}

TEST(TrackerHalfTime, TakesEffectFromTheNextStep) {
    const std::vector<double> x = drumMusic(12.0, 111.0);
    mTracker changed(kRate), unchanged(kRate);
    const std::size_t at = 6 * 44100 / kBlock * kBlock;
    feed(changed, x, 0, at);
    feed(unchanged, x, 0, at);
    expectSameCache(changed, unchanged);
    const unsigned stepsBefore = changed.getStepsDone();

    const double decay = changed.getParams().changeHalfTime(6.0);
    EXPECT_DOUBLE_EQ(decay, std::pow(0.5, 1.0 / (6.0 * kAccentRate)));
    EXPECT_EQ(changed.getParams().decayPerSample, decay);

    feed(changed, x, at);
    feed(unchanged, x, at);
    ASSERT_EQ(changed.getStepsDone(), unchanged.getStepsDone());
    const auto& a = changed.getPulseCache();
    const auto& b = unchanged.getPulseCache();
    for (unsigned r = 0; r < stepsBefore; ++r)
        for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(a[r][c], b[r][c]);
    // From the next step on, bias and energies use the new half time: the
    // beatyness (mean beat salience) of the newest step differs.
    EXPECT_NE(changed.getBeatyness(), unchanged.getBeatyness());
    EXPECT_TRUE(std::isfinite(changed.getBeatyness()));
    for (unsigned r = stepsBefore; r < a.nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c) {
            EXPECT_TRUE(std::isfinite(a[r][c].real()));
            EXPECT_TRUE(std::isfinite(a[r][c].imag()));
        }
}

TEST(TrackerHalfTime, TheDefaultHalfTimeAgainChangesNothing) {
    const std::vector<double> x = drumMusic(8.0);
    mTracker a(kRate), b(kRate);
    a.getParams().changeHalfTime(3.0);
    feed(a, x);
    feed(b, x);
    expectSameCache(a, b);
}

// ---------------------------------------------------------- edge inputs

TEST(TrackerEdges, DigitalSilenceGivesFiniteEstimates) {
    const std::vector<double> zeros(5 * kRate, 0.0);
    mTracker t(kRate);
    feed(t, zeros);
    ASSERT_GT(t.getStepsDone(), 0u);
    const auto& cache = t.getPulseCache();
    for (unsigned r = 0; r < cache.nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c) {
            EXPECT_TRUE(std::isfinite(cache[r][c].real()));
            EXPECT_GT(cache[r][c].real(), 0.0);
            EXPECT_TRUE(std::isfinite(cache[r][c].imag()));
        }
}

TEST(TrackerEdges, AtTwentyTwoKilohertzTheMissingChannelsStaySilent) {
    // The front end delivers 18 bands at 22050 Hz, two channels' worth; the
    // other two channels carry nothing instead of being read past the end.
    const std::vector<double> x = drumMusic(20.0, 120.0, 22050);
    mTracker t(22050);
    feed(t, x);
    ASSERT_GT(t.getStepsDone(), 30u);
    const Estimates e = latest(t);
    const double ratio = e.beatPeriod / 0.5;
    EXPECT_TRUE(std::fabs(ratio - 1.0) < 0.03 || std::fabs(ratio - 2.0) < 0.06 ||
                std::fabs(ratio - 0.5) < 0.015)
        << e.beatPeriod;
}

TEST(TrackerEdges, SetSrateResetsAndKeepsTracking) {
    const std::vector<double> x = drumMusic(6.0);
    mTracker a(kRate), b(kRate);
    feed(a, drumMusic(3.0, 150.0));
    a.setSrate(kRate);
    EXPECT_EQ(a.getStepsDone(), 0u);
    feed(a, x);
    feed(b, x);
    expectSameCache(a, b);
}

}  // namespace
