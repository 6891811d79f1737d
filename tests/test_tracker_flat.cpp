// The tracker's flat interface (mTracker_ functions), copy_nvals,
// print_vector and the meter dump file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "meterTrackerC.h"
#include "synthetic_drums.h"
#include "temp_dir.h"

namespace {

const double kAccentRate = 172.265625;

std::vector<double> drumMusic(double seconds) {
    synth::DrumPattern p;
    p.bpm = 126.0;
    p.seconds = seconds;
    return synth::drums(p).samples;
}

void feed(meterTracker::mTracker* t, const std::vector<double>& x) {
    for (std::size_t i = 0; i < x.size(); i += 128) {
        mTracker_add_data(t, &x[i], static_cast<int>(std::min<std::size_t>(128, x.size() - i)));
        mTracker_process(t);
    }
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// ------------------------------------------------------------ copy_nvals

struct CopyCase {
    std::vector<double> values;
    int n;
    std::vector<double> expected;  // n entries
    int copied;
};

TEST(CopyNvals, CopiesTheNewestValuesAndZeroesTheRest) {
    const std::vector<CopyCase> cases = {
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 4, {7, 8, 9, 10}, 4},
        {{1, 2}, 4, {1, 2, 0, 0}, 2},
        {{5}, 1, {5}, 1},
        {{}, 3, {0, 0, 0}, 0},
        {{1, 2, 3}, 3, {1, 2, 3}, 3},
        {{1, 2, 3}, 0, {}, 0},
    };
    for (const CopyCase& c : cases) {
        std::vector<double> values = c.values;
        std::vector<double> dst(c.n + 2, -7.0);  // two guard entries past n
        EXPECT_EQ(copy_nvals(values, dst.data(), c.n), c.copied);
        for (int i = 0; i < c.n; ++i)
            EXPECT_EQ(dst[i], c.expected[i]) << "n " << c.n << " at " << i;
        EXPECT_EQ(dst[c.n], -7.0);
        EXPECT_EQ(dst[c.n + 1], -7.0);
    }
}

// ---------------------------------------------------------- print_vector

TEST(PrintVector, WritesTheCountThenNineDecimalsPerValue) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    print_vector({0.5, -1.25, 1.0 / 3.0, 123456.0}, f);
    print_vector({}, f);
    std::rewind(f);
    char buffer[512] = {0};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(buffer, n),
              "4\n0.500000000\n-1.250000000\n0.333333333\n123456.000000000\n0\n");
}

// ----------------------------------------------------------- lifecycle

TEST(TrackerFlat, CloseIgnoresNull) {
    mTracker_close(nullptr);
}

TEST(TrackerFlat, PeriodEstimatesAreMinusOneUntilAStepHasRun) {
    meterTracker::mTracker* t = mTracker_init(44100);
    ASSERT_NE(t, nullptr);
    double v[6] = {0, 0, 0, 0, 0, 0};
    mTracker_get_period_est(t, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (double x : v) EXPECT_EQ(x, -1.0);

    const std::vector<double> x = drumMusic(4.0);
    int steps = 0;
    for (std::size_t i = 0; i < x.size(); i += 128) {
        mTracker_add_data(t, &x[i], static_cast<int>(std::min<std::size_t>(128, x.size() - i)));
        const int r = mTracker_process(t);
        ASSERT_TRUE(r == 0 || r == 1);
        steps += r;
    }
    EXPECT_EQ(steps, static_cast<int>(t->getStepsDone()));
    mTracker_get_period_est(t, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    double e[6];
    t->getLatestPeriodEsts(e[0], e[1], e[2], e[3], e[4], e[5]);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(v[i], e[i]);
    EXPECT_GT(v[1], 0.0);

    mTracker_reset(t);
    mTracker_get_period_est(t, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (double x : v) EXPECT_EQ(x, -1.0);
    mTracker_close(t);
}

TEST(TrackerFlat, BeatynessIsTheTrackers) {
    meterTracker::mTracker* t = mTracker_init(44100);
    EXPECT_EQ(mTracker_get_beatyness(t), 0.0);
    feed(t, drumMusic(3.0));
    EXPECT_EQ(mTracker_get_beatyness(t), t->getBeatyness());
    EXPECT_GT(mTracker_get_beatyness(t), 0.0);
    mTracker_close(t);
}

// ------------------------------------------------------------- get_ticks

TEST(TrackerFlat, TicksRightAfterInitAreASingleZeroPerLevel) {
    meterTracker::mTracker* t = mTracker_init(44100);
    double tatum[3] = {9, 9, 9}, beat[3] = {9, 9, 9}, bar[3] = {9, 9, 9};
    int nt = 3, nb = 3, nbar = 3;
    mTracker_get_ticks(t, tatum, &nt, beat, &nb, bar, &nbar);
    EXPECT_EQ(nt, 1);
    EXPECT_EQ(nb, 1);
    EXPECT_EQ(nbar, 1);
    for (double* a : {tatum, beat, bar})
        for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], 0.0);
    mTracker_close(t);
}

TEST(TrackerFlat, TicksCopyTheNewestPulsesOfEachLevel) {
    meterTracker::mTracker* t = mTracker_init(44100);
    feed(t, drumMusic(12.0));
    std::vector<double> tatum, beat, bar;
    t->getMeters(tatum, beat, bar);
    ASSERT_GT(tatum.size(), 10u);
    ASSERT_GT(beat.size(), 4u);
    ASSERT_GT(bar.size(), 2u);

    // Fewer slots than pulses for tatum and beat, more for the bar.
    const int barSlots = static_cast<int>(bar.size()) + 3;
    std::vector<double> ta(10, -1), be(4, -1), ba(barSlots, -1);
    int nt = 10, nb = 4, nbar = barSlots;
    mTracker_get_ticks(t, ta.data(), &nt, be.data(), &nb, ba.data(), &nbar);
    EXPECT_EQ(nt, 10);
    EXPECT_EQ(nb, 4);
    EXPECT_EQ(nbar, static_cast<int>(bar.size()));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ta[i], tatum[tatum.size() - 10 + i]);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(be[i], beat[beat.size() - 4 + i]);
    for (std::size_t i = 0; i < bar.size(); ++i) EXPECT_EQ(ba[i], bar[i]);
    for (int i = static_cast<int>(bar.size()); i < barSlots; ++i) EXPECT_EQ(ba[i], 0.0);
    // Newest last: the copies are in time order.
    for (int i = 1; i < 4; ++i) EXPECT_GT(be[i], be[i - 1]);
    mTracker_close(t);
}

// ----------------------------------------------------------- parameters

TEST(TrackerFlat, MyyValuesSetThePriorMediansAndTheDefaultsRestoreThem) {
    meterTracker::mTracker* changed = mTracker_init(44100);
    meterTracker::mTracker* plain = mTracker_init(44100);
    mTracker_change_myyValues(changed, 3.0, 0.9, 0.25);
    EXPECT_EQ(changed->getParams().barMyy, 3.0);
    EXPECT_EQ(changed->getParams().beatMyy, 0.9);
    EXPECT_EQ(changed->getParams().tatumMyy, 0.25);
    mTracker_change_myyValues(changed, 2.1, 0.55, 0.18);
    EXPECT_EQ(changed->getParams().barMyy, 2.1);
    EXPECT_EQ(changed->getParams().beatMyy, 0.55);
    EXPECT_EQ(changed->getParams().tatumMyy, 0.18);

    const std::vector<double> x = drumMusic(6.0);
    feed(changed, x);
    feed(plain, x);
    double a[6], b[6];
    mTracker_get_period_est(changed, &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
    mTracker_get_period_est(plain, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(a[i], b[i]);
    mTracker_close(changed);
    mTracker_close(plain);
}

TEST(TrackerFlat, SlowerBeatPriorPullsTheBeatToTheSlowerLevel) {
    // 126 BPM drums: with the prior centred on 1 s per beat the tracker
    // prefers half time (0.95 s) over 0.476 s.
    meterTracker::mTracker* slow = mTracker_init(44100);
    mTracker_change_myyValues(slow, 4.0, 1.0, 0.5);
    feed(slow, drumMusic(15.0));
    double v[6];
    mTracker_get_period_est(slow, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    EXPECT_NEAR(v[1], 2 * 60.0 / 126.0, 0.03);
    mTracker_close(slow);
}

TEST(TrackerFlat, HalfTimeReturnsTheNewDecay) {
    meterTracker::mTracker* t = mTracker_init(44100);
    for (double seconds : {3.0, 6.0, 12.0}) {
        const double d = mTracker_change_half_time(t, seconds);
        EXPECT_DOUBLE_EQ(d, std::pow(0.5, 1.0 / (seconds * kAccentRate)));
        EXPECT_EQ(d, t->getParams().decayPerSample);
    }
    mTracker_close(t);
}

// ------------------------------------------------------------ dump file

TEST(TrackerDump, RightAfterInitHoldsSevenLines) {
    TempDir dir;
    meterTracker::mTracker* t = mTracker_init(44100);
    const std::string path = dir.file("meters.txt");
    { std::ofstream(path) << "old contents\nthat must go\n"; }
    mTracker_dump_metfile(t, path.c_str());
    EXPECT_EQ(readLines(path), (std::vector<std::string>{"3", "1", "0.000000000", "1",
                                                         "0.000000000", "1", "0.000000000"}));
    mTracker_close(t);
}

TEST(TrackerDump, HoldsTatumBeatAndBarListsInThisOrder) {
    TempDir dir;
    meterTracker::mTracker* t = mTracker_init(44100);
    feed(t, drumMusic(8.0));
    const std::string path = dir.file("meters.txt");
    mTracker_dump_metfile(t, path.c_str());

    std::vector<double> tatum, beat, bar;
    t->getMeters(tatum, beat, bar);
    std::vector<std::string> expected{"3"};
    char text[64];
    for (const std::vector<double>* list : {&tatum, &beat, &bar}) {
        expected.push_back(std::to_string(list->size()));
        for (double v : *list) {
            std::snprintf(text, sizeof text, "%.9f", v);
            expected.push_back(text);
        }
    }
    ASSERT_GT(tatum.size(), beat.size());
    EXPECT_EQ(readLines(path), expected);
    mTracker_close(t);
}

TEST(TrackerDump, UnwritablePathGivesOneMessageAndNoFile) {
    TempDir dir;
    meterTracker::mTracker* t = mTracker_init(44100);
    const std::string path = dir.file("missing/meters.txt");
    testing::internal::CaptureStderr();
    mTracker_dump_metfile(t, path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "metertracker: failed to save meter data\n");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("missing").c_str(), F_OK), 0);

    testing::internal::CaptureStderr();
    mTracker_dump_metfile(t, nullptr);  // nothing at all
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    mTracker_close(t);
}

}  // namespace
