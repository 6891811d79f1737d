// The meter ticker's timing side on a virtual clock, one timer pass per
// millisecond, with the MIDI driver's recording backend: where ticks fall
// and the times they carry, how the clock follows a grid that shifts or
// changes tempo, the anti-delay, the MIDI clock, notes and phase
// controllers, phase callbacks, the queries, and clocks that misbehave.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "midi_test_support.h"

namespace {

using engine_test::Bytes;
using engine_test::in_window;
using engine_test::matching;
using engine_test::TickerHarness;
using engine_test::times_of;

const double kPass = 0.001;  // one timer pass per millisecond
const Bytes kStart = {0xFA};
const Bytes kClock = {0xF8};
const Bytes kStop = {0xFC};
const Bytes kBarOn = {0x90, 64, 127};
const Bytes kBeatOn = {0x90, 65, 127};
const Bytes kTatumOn = {0x90, 66, 127};
const Bytes kBarOff = {0x80, 64, 0};
const Bytes kBeatOff = {0x80, 65, 0};

// The point R + kP nearest to t.
double nearest_grid_point(double t, double period, double reference) {
    return std::round((t - reference) / period) * period + reference;
}

// Every time stamp lies on a point of the grid R + kP, one period after the
// one before.
void expect_on_grid(const std::vector<double>& times, double period, double reference,
                    const char* what) {
    ASSERT_GE(times.size(), 3u) << what;
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(times[i], nearest_grid_point(times[i], period, reference), 1e-9)
            << what << " tick " << i << " at " << times[i];
        if (i > 0) {
            EXPECT_NEAR(times[i] - times[i - 1], period, 1e-9) << what << " interval " << i;
        }
    }
}

// Every message reached the driver in the first timer pass at or after the
// time it carries (less the anti-delay).
void expect_sent_within_a_pass(const std::vector<midioutput_record>& records,
                               double anti_delay = 0.0) {
    for (const midioutput_record& r : records) {
        const double lead = r.clock_time - (r.time - anti_delay);
        EXPECT_GE(lead, -1e-9) << "a message stamped " << r.time << " went out early";
        EXPECT_LT(lead, kPass + 1e-9) << "a message stamped " << r.time << " went out late";
    }
}

TEST(TickerTiming, ConstantEstimatesGiveTicksOnTheGridOfEveryLevel) {
    TickerHarness h;
    ASSERT_EQ(h.status(), 0);
    meterticker_midinote_out(h.ticker(), 1);
    // Periods and references off the millisecond grid: a bar of four beats
    // starting on the second beat of the reference, two tatums a beat.
    h.estimate(1.9348, 0.3071 + 0.4837, 0.4837, 0.3071, 0.24185, 0.3071);
    h.start_at(10.0);
    h.run_until(20.0);
    const auto records = h.take();
    expect_on_grid(times_of(records, kBarOn), 1.9348, 0.3071 + 0.4837, "bar");
    expect_on_grid(times_of(records, kBeatOn), 0.4837, 0.3071, "beat");
    expect_on_grid(times_of(records, kTatumOn), 0.24185, 0.3071, "tatum");
    expect_sent_within_a_pass(records);
    // Each note sounds for the first 0.2 of its interval.
    const auto beat_on = times_of(records, kBeatOn);
    const auto beat_off = times_of(records, kBeatOff);
    ASSERT_GE(beat_off.size(), beat_on.size() - 1);
    for (size_t i = 0; i + 1 < beat_on.size(); ++i) {
        const auto later = std::upper_bound(beat_off.begin(), beat_off.end(), beat_on[i]);
        ASSERT_NE(later, beat_off.end());
        EXPECT_NEAR(*later - beat_on[i], 0.2 * 0.4837, 1e-9);
    }
}

// The tracker's levels need not agree: its bar reference may fall between
// beats and its tatum period need not divide the beat. The bar then starts
// on the beat nearest to its reference, with a whole number of beats, and
// the tatums divide each beat.
TEST(TickerTiming, BarAndTatumTicksFallOnTheBeats) {
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    // Bar of 3.1 beats from 0.23 s; tatum a third of a beat (0.1667 s) from 0.05 s.
    h.estimate(1.55, 0.23, 0.5, 0.0, 0.17, 0.05);
    h.start_at(10.0003);
    h.run_until(16.0);
    const auto records = h.take();
    expect_on_grid(times_of(records, kBeatOn), 0.5, 0.0, "beat");
    expect_on_grid(times_of(records, kBarOn), 1.5, 0.0, "bar of three beats from 0");
    expect_on_grid(times_of(records, kTatumOn), 0.5 / 3, 0.0, "three tatums a beat");
}

// Every output carries the time it belongs to, not the pass that noticed
// it: with a tempo whose 24ths of a beat fall between milliseconds, each
// clock is stamped exactly at its 24th of the beat interval.
TEST(TickerTiming, MessagesCarryTheExactTimeOfTheirTick) {
    const double P = 60.0 / 123.0;
    TickerHarness h;
    meterticker_midiphase_out(h.ticker(), 1);
    h.estimate_meter(P, 0.0123);
    h.start_at(10.0003);
    meterticker_midiclock_out(h.ticker(), 1);
    h.run_until(16.0);
    const auto records = h.take();
    expect_sent_within_a_pass(records);
    const auto clocks = times_of(records, kClock);
    ASSERT_GT(clocks.size(), 200u);
    for (double t : clocks) {
        const double in_24ths = (t - 0.0123) / (P / 24);
        EXPECT_NEAR(in_24ths, std::round(in_24ths), 1e-6) << "Clock at " << t;
    }
    // A phase controller's value is the phase at its own time: the k-th of
    // 128 steps of a beat carries trunc(k / 128 * 127).
    for (const midioutput_record& r : records) {
        if (r.bytes.size() != 3 || r.bytes[1] != 65) continue;
        const double steps = (r.time - 0.0123) / (P / 128);
        const long k = std::lround(steps) % 128;
        EXPECT_NEAR(steps, std::round(steps), 1e-6);
        EXPECT_EQ(r.bytes[2], static_cast<unsigned char>(k * 127 / 128)) << "at " << r.time;
    }
}

TEST(TickerTiming, TheFirstTicksAreTheFirstGridPointsAfterAlignment) {
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    h.estimate_meter(0.5, 0.1);
    h.start_at(7.3204);
    h.run_until(8.0);
    const auto beat_on = times_of(h.take(), kBeatOn);
    ASSERT_FALSE(beat_on.empty());
    EXPECT_NEAR(beat_on[0], 7.6, kPass + 1e-9);  // first point of 0.1 + 0.5k after 7.3204
    double phases[METERLEVEL_COUNT];
    meterticker_get_phases(h.ticker(), phases);
    EXPECT_GE(phases[METERLEVEL_BEAT], 1.0);
    EXPECT_LT(phases[METERLEVEL_BEAT], 2.0);
}

// The tracker's grid shifts just before a tick. The clock moves to the
// shifted grid the shorter way round, by at most FOLLOWER_MAX_CORRECTION of
// a beat per interval: no beat comes half a beat early or late, and once
// there every interval is one period again. (The grid rule that put each
// shift into the next interval at once gave intervals from half a period
// to one and a half.)
struct ShiftCase {
    double shift;  // of the reference, in periods
    int beats;     // intervals the clock takes to get there
};

void PrintTo(const ShiftCase& c, std::ostream* os) {
    *os << c.shift << " of a beat";
}

class ReferenceShift : public testing::TestWithParam<ShiftCase> {};

TEST_P(ReferenceShift, TheClockGlidesToTheShiftedGrid) {
    const double P = 0.5;
    const double R = 0.0;
    const ShiftCase c = GetParam();
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    h.estimate_meter(P, R);
    h.start_at(10.0003);
    h.run_until(11.49);  // beat ticks at 10.5 and 11.0 have passed; the next is 11.5
    h.estimate(4 * P, R, P, R + c.shift * P, P / 2, R + c.shift * P);
    h.run_until(16.0);
    const auto beat_on = times_of(h.take(), kBeatOn);
    const auto tick = std::find_if(beat_on.begin(), beat_on.end(),
                                   [](double t) { return std::fabs(t - 11.5) < 1e-9; });
    ASSERT_NE(tick, beat_on.end()) << "the tick decided before the shift stays where it was";
    const double target = c.shift - std::round(c.shift);  // the shorter way
    double moved = 0.0;
    for (auto it = tick + 1; it != beat_on.end(); ++it) {
        const double interval = *it - *(it - 1);
        EXPECT_GE(interval, (1.0 - FOLLOWER_MAX_CORRECTION) * P - 1e-9) << "at " << *it;
        EXPECT_LE(interval, (1.0 + FOLLOWER_MAX_CORRECTION) * P + 1e-9) << "at " << *it;
        moved += interval / P - 1.0;
        if (it - tick == c.beats) {
            EXPECT_NEAR(moved, target, 1e-9) << "on the shifted grid after " << c.beats;
        }
        if (it - tick > c.beats) {
            EXPECT_NEAR(interval, P, 1e-9) << "at " << *it;
        }
    }
    ASSERT_GT(beat_on.end() - tick, c.beats + 3);
}

INSTANTIATE_TEST_SUITE_P(Shifts, ReferenceShift,
                         testing::Values(ShiftCase{0.3, 2}, ShiftCase{0.6, 3},
                                         ShiftCase{0.0, 0}, ShiftCase{-0.3, 2},
                                         ShiftCase{0.45, 3}, ShiftCase{0.2, 2},
                                         ShiftCase{0.12, 1}));

// A new estimate early in a beat places the coming beat at once; one late
// in the beat waits for the tick, so that the clocks left in the beat are
// not crowded.
TEST(TickerTiming, AnEstimateEarlyInABeatPlacesTheComingBeat) {
    for (const double arrival : {11.1, 11.45}) {
        TickerHarness h;
        meterticker_midinote_out(h.ticker(), 1);
        meterticker_midiclock_out(h.ticker(), 1);
        h.estimate_meter(0.5, 0.0);
        h.start_at(10.0003);
        h.run_until(arrival);
        h.estimate_meter(0.5, 0.06);  // 60 ms later: off the grid before, a new one
        h.run_until(13.0);
        const auto records = h.take();
        const auto beats = times_of(in_window(records, 11.2, 1e9), kBeatOn);
        ASSERT_GE(beats.size(), 3u);
        EXPECT_NEAR(beats[0], arrival < 11.375 ? 11.56 : 11.5, 1e-9) << "estimate at " << arrival;
        EXPECT_NEAR(beats.back() - std::round(beats.back() / 0.5) * 0.5, 0.06, 1e-9)
            << "on the new grid";
        // 24 clocks in the beat that ends at the moved tick, none of them
        // crowding another.
        const auto clocks =
            times_of(in_window(records, 11.0 - 1e-6, beats[0] - 1e-6), kClock);
        ASSERT_EQ(clocks.size(), 24u) << "estimate at " << arrival;
        for (size_t i = 1; i < clocks.size(); ++i)
            EXPECT_GT(clocks[i] - clocks[i - 1], 0.5 / 24 * 0.9) << "clock " << i;
    }
}

TEST(TickerTiming, AntiDelayAdvancesNotesBy50Milliseconds) {
    const double P = 0.4837;
    const double R = 0.3071;
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    meterticker_set_anti_delay(h.ticker(), 0.05);
    EXPECT_EQ(meterticker_get_anti_delay(h.ticker()), 0.05);
    h.estimate_meter(P, R);
    h.start_at(10.0);
    h.run_until(15.0);
    const auto beat_on = times_of(h.take(), kBeatOn);
    // Sent 50 ms before each predicted beat (within one pass).
    expect_on_grid(beat_on, P, R - 0.05, "beat with anti-delay");
}

TEST(TickerTiming, ClockStartsOnTheNextBeatThenSends24ClocksPerBeat) {
    const double P = 0.5;
    TickerHarness h;
    h.estimate_meter(P, 0.0);
    h.start_at(10.0003);
    h.run_until(10.2);
    meterticker_midiclock_out(h.ticker(), 1);
    h.run_until(10.499);
    EXPECT_TRUE(h.take().empty()) << "nothing before the next beat";
    h.run_until(12.2);
    const auto records = h.take();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].bytes, kStart);
    EXPECT_EQ(records[1].bytes, kClock) << "the first Clock follows Start in the same pass";
    EXPECT_EQ(records[0].time, records[1].time);
    EXPECT_NEAR(records[0].time, 10.5, kPass + 1e-9);
    EXPECT_EQ(times_of(records, kStart).size(), 1u);

    // 24 clocks per beat interval, at every 24th of it.
    const auto clocks = times_of(records, kClock);
    for (double beat = 10.5; beat < 12.0; beat += P) {
        const auto in_beat =
            times_of(in_window(records, beat - kPass / 2, beat + P - kPass / 2), kClock);
        ASSERT_EQ(in_beat.size(), 24u) << "beat at " << beat;
        for (int j = 0; j < 24; ++j) {
            const double due = beat + j * P / 24;
            EXPECT_GE(in_beat[j], due - 1e-9);
            EXPECT_LE(in_beat[j], due + kPass + 1e-9);
        }
    }

    meterticker_midiclock_out(h.ticker(), 0);
    const auto stop = h.take();
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_EQ(stop[0].bytes, kStop);
    EXPECT_EQ(stop[0].time, h.clock().now) << "Stop goes out at once";
    h.run_until(13.0);
    EXPECT_TRUE(h.take().empty()) << "no Clock after Stop";
}

// A backend that writes each message at its time stamp lets the timer pass
// less often; however fast the beat, no pass may hold two Clocks, since it
// sends the newest one only.
TEST(TickerTiming, PassesPacedForAStampingBackendSendEveryClockAtAnyTempo) {
    for (const double bpm : {60.0, 120.0, 180.0, 300.0, 480.0}) {
        SCOPED_TRACE(testing::Message() << bpm << " BPM");
        const double P = 60.0 / bpm;
        TickerHarness h(0.003);
        h.estimate_meter(P, 0.0);
        h.start_at(10.0);
        h.run_paced_until(10.2);
        meterticker_midiclock_out(h.ticker(), 1);
        h.run_paced_until(16.0);
        const auto clocks = times_of(h.take(), kClock);
        ASSERT_GE(clocks.size(), 48u);
        for (size_t i = 1; i < clocks.size(); ++i)
            ASSERT_NEAR(clocks[i] - clocks[i - 1], P / 24, 1e-9) << "Clock " << i;
    }
}

// While the follower moves the beat onto a shifted grid its segments run
// the phase faster or slower than the beat period: the pacing follows the
// rate the phase runs at, so that no Clock is lost (a lost one shows as an
// interval twice as long) and the passes stay as long as that rate allows.
TEST(TickerTiming, PacedPassesKeepEveryClockWhileTheFollowerShiftsTheBeat) {
    for (const double shift : {0.2, -0.2}) {
        SCOPED_TRACE(testing::Message() << "shifted by " << shift << " of a beat");
        const double P = 0.2;  // 300 BPM: a Clock every 8.3 ms
        TickerHarness h(0.003);
        h.estimate_meter(P, 0.0);
        h.start_at(10.0);
        h.run_paced_until(10.2);
        meterticker_midiclock_out(h.ticker(), 1);
        h.run_paced_until(12.07);  // an update between two beats
        h.estimate_meter(P, shift * P);
        int shortest = 1000;
        h.on_pass = [&](double) { shortest = std::min(shortest, meterticker_pass_interval_ms(h.ticker())); };
        h.run_paced_until(14.0);
        const auto clocks = times_of(h.take(), kClock);
        ASSERT_GE(clocks.size(), 200u);
        for (size_t i = 1; i < clocks.size(); ++i)
            ASSERT_LT(clocks[i] - clocks[i - 1], 1.5 * P / 24) << "Clock " << i << " lost";
        EXPECT_GE(shortest, 2) << "passes much closer than the Clocks need";
    }
}

// The same pacing with the phase controllers on: each of the beat's 128
// steps goes out.
TEST(TickerTiming, PacedPassesSendEveryPhaseControllerStepWhilePhasesAreOn) {
    for (const double bpm : {60.0, 120.0, 200.0}) {
        SCOPED_TRACE(testing::Message() << bpm << " BPM");
        const double P = 60.0 / bpm;
        TickerHarness h(0.003);
        h.estimate(4 * P, 0.0, P, 0.0, P / 2, 0.0);
        h.start_at(10.0);
        h.run_paced_until(10.2);
        meterticker_midiphase_out(h.ticker(), 1);
        const double beat = (std::floor(10.2 / P) + 3) * P;
        h.run_paced_until(beat + 2 * P);
        const auto steps =
            matching(in_window(h.take(), beat - 1e-4, beat + P - 1e-4),
                     [](const midioutput_record& r) { return r.bytes.size() == 3 && r.bytes[1] == 65; });
        EXPECT_EQ(steps.size(), 128u);
    }
}

// Start waits until the beat grid has stayed put for several updates in a
// row: a clock switched on over the tracker's first guesses would start
// anywhere between two beats.
TEST(TickerTiming, StartWaitsForASettledBeatGrid) {
    const double P = 0.5;
    TickerHarness h;
    h.update_meter(P, 0.0);
    h.start_at(10.0003);
    meterticker_midiclock_out(h.ticker(), 1);
    // Each update after the first agrees with the one before; the last one
    // needed comes only at 13 s.
    for (int i = 1; i < METERTICKER_START_SETTLED_UPDATES; ++i) {
        h.run_until(10.0 + i * 0.75);
        h.update_meter(P, 0.0);
    }
    h.run_until(13.0);
    EXPECT_TRUE(h.take().empty()) << "neither Start nor Clock before the grid has settled";
    h.update_meter(P, 0.0);
    h.run_until(14.2);
    const auto records = h.take();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].bytes, kStart);
    EXPECT_NEAR(records[0].time, 13.5, 1e-9) << "Start on the next beat tick";
    EXPECT_EQ(records[1].bytes, kClock);
}

struct RegridCase {
    const char* name;
    double period;     // the new beat period after 0.5 s
    double reference;  // the new beat reference after 0
    bool agrees;
};

std::ostream& operator<<(std::ostream& os, const RegridCase& c) {
    return os << c.name;
}

class StartAfterRegrid : public testing::TestWithParam<RegridCase> {};

// A settled grid followed by one update: an update that changes the beat
// period by more than 4 %, or lies off the smoothed grid by more than
// 12.5 ms here (a fortieth of the beat), starts the wait again.
TEST_P(StartAfterRegrid, AMovedGridStartsTheWaitAgain) {
    const RegridCase c = GetParam();
    TickerHarness h;
    h.estimate_meter(0.5, 0.0);
    h.update_meter(c.period, c.reference);
    h.start_at(10.0003);
    meterticker_midiclock_out(h.ticker(), 1);
    h.run_until(12.0);
    EXPECT_EQ(times_of(h.take(), kStart).size(), c.agrees ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Updates, StartAfterRegrid,
    testing::Values(RegridCase{"same grid", 0.5, 0.0, true},
                    RegridCase{"period 3 % longer", 0.515, 0.0, true},
                    RegridCase{"period 5 % longer", 0.525, 0.0, false},
                    RegridCase{"period 5 % shorter", 0.475, 0.0, false},
                    RegridCase{"reference 3 beats on", 0.5, 1.5, true},
                    RegridCase{"reference 0.015 beat on", 0.5, 0.0075, true},
                    RegridCase{"reference 0.06 beat on", 0.5, 0.03, false},
                    RegridCase{"reference 0.12 beat back", 0.5, -0.06, false},
                    RegridCase{"reference half a beat on", 0.5, 0.25, false}),
    [](const testing::TestParamInfo<RegridCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(TickerTiming, ClockFollowsTheIntervalInForce) {
    // The beat period changes between two ticks: the clocks of the next
    // interval are spread over the new interval, 24 of them.
    TickerHarness h;
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0003);
    meterticker_midiclock_out(h.ticker(), 1);
    h.run_until(10.9);
    h.estimate_meter(0.6, 11.0);  // the grid through 11.0 with a longer period
    h.run_until(12.0);
    const auto records = h.take();
    const auto clocks = times_of(in_window(records, 11.0 - kPass / 2, 11.6 - kPass / 2), kClock);
    ASSERT_EQ(clocks.size(), 24u);
    EXPECT_NEAR(clocks.back() - clocks.front(), 23 * 0.6 / 24, 2 * kPass);
}

TEST(TickerTiming, PhaseOutputSendsTheBarAndBeatControllersOnly) {
    TickerHarness h;
    h.estimate(2.0, 0.0, 0.5, 0.0, 0.25, 0.0);
    h.start_at(10.0003);
    h.run_until(12.0);
    EXPECT_TRUE(h.take().empty()) << "outputs start switched off";
    meterticker_midiphase_out(h.ticker(), 1);
    h.run_until(16.0);
    const auto records = h.take();
    ASSERT_FALSE(records.empty());
    for (const midioutput_record& r : records) {
        ASSERT_EQ(r.bytes.size(), 3u);
        EXPECT_EQ(r.bytes[0], 0xB0);
        EXPECT_TRUE(r.bytes[1] == 64 || r.bytes[1] == 65) << int(r.bytes[1]);
        EXPECT_LE(r.bytes[2], 126);
    }
    // Refreshed 128 times per bar and per beat; values rise from 0 over an interval.
    const auto of = [&](unsigned char controller, double from, double to) {
        return matching(in_window(records, from, to),
                        [&](const midioutput_record& r) { return r.bytes[1] == controller; });
    };
    const auto beat = of(65, 14.0 - kPass / 2, 14.5 - kPass / 2);
    ASSERT_EQ(beat.size(), 128u);
    EXPECT_EQ(beat.front().bytes[2], 0);
    for (size_t i = 1; i < beat.size(); ++i) EXPECT_GE(beat[i].bytes[2], beat[i - 1].bytes[2]);
    EXPECT_GE(beat.back().bytes[2], 125);
    EXPECT_EQ(of(64, 14.0 - kPass / 2, 16.0 - kPass / 2).size(), 128u);

    meterticker_midiphase_out(h.ticker(), 0);
    const auto off = h.take();
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].bytes, kStop) << "switching phase output off also sends Stop";
    h.run_until(17.0);
    EXPECT_TRUE(h.take().empty());
}

TEST(TickerTiming, DisablingNotesEndsTheSoundingBarNoteAtOnce) {
    TickerHarness h;
    h.estimate(2.0, 0.0, 0.5, 0.0, 0.25, 0.0);
    h.start_at(10.0003);
    meterticker_midinote_out(h.ticker(), 1);
    h.run_until(12.15);  // bar and beat ticks at 12.0: the bar note sounds, beat and tatum not
    h.take();
    meterticker_midinote_out(h.ticker(), 0);
    const auto off = h.take();
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].bytes, kBarOff);
    EXPECT_EQ(off[0].time, h.clock().now);
    h.run_until(14.0);
    EXPECT_TRUE(h.take().empty()) << "no notes while switched off";
}

TEST(TickerTiming, SendMidiMessageSendsNoteOnForKindZeroAndControllersOtherwise) {
    TickerHarness h;
    meterticker_send_midi_message(h.ticker(), 0, 17, 60, 300);
    meterticker_send_midi_message(h.ticker(), 1, 2, 7, 100);
    meterticker_send_midi_message(h.ticker(), 5, 0, 64, 1);
    const auto records = h.take();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes, (Bytes{0x91, 60, 44}));
    EXPECT_EQ(records[1].bytes, (Bytes{0xB2, 7, 100}));
    EXPECT_EQ(records[2].bytes, (Bytes{0xB0, 64, 1}));
}

// ---- Phase callbacks ---------------------------------------------------------

struct CallbackLog {
    std::vector<double> phases;
    static void record(void* user, double phase) {
        static_cast<CallbackLog*>(user)->phases.push_back(phase);
    }
};

TEST(TickerPhaseCallbacks, RunAtTheirLevelsRateWithTheUnscaledFullPhase) {
    struct Case {
        int level;
        int per_interval;
        double period;
    };
    for (const Case c : {Case{METERLEVEL_BAR, 64, 2.0}, Case{METERLEVEL_BEAT, 32, 0.5},
                         Case{METERLEVEL_TATUM, 16, 0.25}}) {
        TickerHarness h;
        CallbackLog log;
        ASSERT_NE(meterticker_register_phase_cb(h.ticker(), c.level, &log, CallbackLog::record),
                  nullptr);
        h.estimate(2.0, 0.0, 0.5, 0.0, 0.25, 0.0);
        h.start_at(10.0003);
        h.run_until(12.0 - kPass / 2);  // whole intervals from 12.0 on
        log.phases.clear();
        h.run_until(14.0 - kPass / 2);
        const int intervals = static_cast<int>(std::lround(2.0 / c.period));
        ASSERT_EQ(static_cast<int>(log.phases.size()), intervals * c.per_interval)
            << "level " << c.level;
        for (size_t i = 0; i < log.phases.size(); ++i) {
            // Called just after each multiple of 1 / per_interval of the phase.
            const double scaled = log.phases[i] * c.per_interval;
            EXPECT_LT(scaled - std::floor(scaled + 1e-9), 0.2) << "call " << i;
        }
        EXPECT_LT(log.phases.back() - log.phases.front(), intervals);
    }
}

TEST(TickerPhaseCallbacks, RemovingATwiceRegisteredUserLeavesOne) {
    TickerHarness h;
    CallbackLog twice;
    CallbackLog other;
    ASSERT_NE(
        meterticker_register_phase_cb(h.ticker(), METERLEVEL_BEAT, &twice, CallbackLog::record),
        nullptr);
    ASSERT_NE(
        meterticker_register_phase_cb(h.ticker(), METERLEVEL_BEAT, &other, CallbackLog::record),
        nullptr);
    ASSERT_NE(
        meterticker_register_phase_cb(h.ticker(), METERLEVEL_BEAT, &twice, CallbackLog::record),
        nullptr);
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0003);
    h.run_until(11.0 - kPass / 2);
    twice.phases.clear();
    other.phases.clear();
    h.run_until(12.0 - kPass / 2);
    EXPECT_EQ(twice.phases.size(), 128u);  // two nodes, 32 calls per beat each
    EXPECT_EQ(other.phases.size(), 64u);

    meterticker_unregister_phase_cb(h.ticker(), &twice);
    int not_registered = 0;
    meterticker_unregister_phase_cb(h.ticker(), &not_registered);  // changes nothing
    twice.phases.clear();
    other.phases.clear();
    h.run_until(13.0 - kPass / 2);
    EXPECT_EQ(twice.phases.size(), 64u) << "one of the two nodes remains";
    EXPECT_EQ(other.phases.size(), 64u);

    meterticker_unregister_phase_cb(h.ticker(), &twice);
    twice.phases.clear();
    h.run_until(14.0 - kPass / 2);
    EXPECT_TRUE(twice.phases.empty());
}

TEST(TickerPhaseCallbacks, ABadLevelIsRefused) {
    TickerHarness h;
    CallbackLog log;
    LogCapture capture;
    EXPECT_EQ(meterticker_register_phase_cb(h.ticker(), 3, &log, CallbackLog::record), nullptr);
    EXPECT_EQ(meterticker_register_phase_cb(h.ticker(), -1, &log, CallbackLog::record), nullptr);
    EXPECT_EQ(meterticker_register_phase_cb(h.ticker(), 1, &log, nullptr), nullptr);
    EXPECT_EQ(capture.at_level(3).size(), 3u);
}

// ---- Queries and the audio side ------------------------------------------------

TEST(TickerQueries, BeforeAnyEstimate) {
    TickerHarness h;
    EXPECT_EQ(meterticker_get_bpm(h.ticker()), std::numeric_limits<double>::infinity());
    EXPECT_EQ(meterticker_get_level(h.ticker()), -100.0);
    EXPECT_EQ(meterticker_get_nonbeatyness(h.ticker()), 0.0);
    h.start_at(3.0);
    h.run_until(5.0);  // passes without an estimate: nothing happens
    EXPECT_TRUE(h.take().empty());
    EXPECT_FALSE(meterticker_timer_aligned(h.ticker()));
    double phases[METERLEVEL_COUNT];
    meterticker_get_phases(h.ticker(), phases);
    for (double phase : phases) EXPECT_EQ(phase, 1.0) << "no tick predicted yet, t > 0";
    EXPECT_EQ(meterticker_get_phase(h.ticker(), METERLEVEL_BEAT), 1.0);
}

TEST(TickerQueries, BpmAndPhasesFollowTheEstimates) {
    TickerHarness h;
    h.estimate_meter(0.5, 0.0);
    EXPECT_DOUBLE_EQ(meterticker_get_bpm(h.ticker()), 120.0);
    h.start_at(10.0003);
    h.run_until(11.125);  // ticks at 10.5 and 11.0 processed
    double phases[METERLEVEL_COUNT];
    meterticker_get_phases(h.ticker(), phases);
    EXPECT_NEAR(phases[METERLEVEL_BEAT], 2.25, 1e-9);
    EXPECT_NEAR(meterticker_get_phase(h.ticker(), METERLEVEL_TATUM), 4.5, 1e-9);
    meterticker_set_anti_delay(h.ticker(), 0.125);  // queries look ahead too
    EXPECT_NEAR(meterticker_get_phase(h.ticker(), METERLEVEL_BEAT), 2.5, 1e-9);
}

TEST(TickerQueries, EstimatesWithoutAPositiveFinitePeriodAreIgnored) {
    TickerHarness h;
    h.estimate_meter(0.5, 0.25);
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    const double bad_periods[][METERLEVEL_COUNT] = {
        {2.0, 0.0, 0.25}, {2.0, -0.5, 0.25}, {nan, 0.5, 0.25}, {2.0, 0.5, inf}};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    for (const auto& periods : bad_periods) {
        EXPECT_FALSE(meterticker_set_estimates(h.ticker(), periods, references));
    }
    const double periods[METERLEVEL_COUNT] = {2.0, 0.6, 0.3};
    const double bad_references[METERLEVEL_COUNT] = {0.0, nan, 0.0};
    EXPECT_FALSE(meterticker_set_estimates(h.ticker(), periods, bad_references));
    EXPECT_EQ(h.ticker()->levels[METERLEVEL_BEAT].period.load(), 0.5);
    EXPECT_EQ(h.ticker()->levels[METERLEVEL_BEAT].reference.load(), 0.25);
}

TEST(TickerQueriesDeathTest, PhaseOfTheBarLevelIsAPreconditionFailure) {
    EXPECT_DEATH(
        {
            TickerHarness h;
            meterticker_get_phase(h.ticker(), METERLEVEL_BAR);
        },
        "meterlevel > 0 && meterlevel < METERLEVEL_COUNT");
}

TEST(TickerAudio, InputLevelIsTenLog10OfTheRms) {
    struct Case {
        const char* what;
        std::vector<float> samples;
        double level;
    };
    std::vector<float> sine(4400);  // 44 whole cycles
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = std::sin(2 * M_PI * 441.0 * i / 44100.0);
    const std::vector<Case> cases = {
        {"digital silence", std::vector<float>(128, 0.0f), -100.0},
        {"full-scale sine", sine, 10 * std::log10(std::sqrt(0.5))},  // about -1.505
        {"constant 0.1", std::vector<float>(128, 0.1f), -10.0},
        {"constant -1", std::vector<float>(77, -1.0f), 0.0},
    };
    for (const Case& c : cases) {
        TickerHarness h;
        meterticker_cbfun(c.samples.data(), static_cast<int>(c.samples.size()), h.ticker(), 0.0);
        const double level = meterticker_get_level(h.ticker());
        EXPECT_NEAR(level, c.level, 1e-4) << c.what;
        EXPECT_EQ(level, static_cast<double>(static_cast<float>(level))) << c.what;
        EXPECT_EQ(meterticker_get_nonbeatyness(h.ticker()), level) << c.what;
        EXPECT_EQ(meterticker_tracker_samples(h.ticker()),
                  static_cast<std::int64_t>(c.samples.size()));
    }
}

TEST(TickerAudio, StretchesLongerThanTheRingReachTheTrackerWhole) {
    TickerHarness h;
    std::vector<float> long_stretch(3 * SEQUENCER_RING_LENGTH + 5, 0.25f);
    EXPECT_EQ(meterticker_cbfun(long_stretch.data(), static_cast<int>(long_stretch.size()),
                                h.ticker(), 0.0),
              0);
    EXPECT_EQ(meterticker_tracker_samples(h.ticker()),
              static_cast<std::int64_t>(long_stretch.size()));
    EXPECT_NEAR(meterticker_get_level(h.ticker()), 10 * std::log10(0.25), 1e-5);
    EXPECT_EQ(meterticker_cbfun(nullptr, 10, h.ticker(), 0.0), 0);
    EXPECT_EQ(meterticker_cbfun(long_stretch.data(), 0, h.ticker(), 0.0), 0);
    EXPECT_EQ(meterticker_tracker_samples(h.ticker()),
              static_cast<std::int64_t>(long_stretch.size()));
}

// ---- Clocks that misbehave, late passes ------------------------------------------

TEST(TickerBadClock, ANotANumberClockSkipsPassesAndIsReportedOnce) {
    LogCapture capture;
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0003);
    h.run_until(11.2);
    h.take();
    const int ticks = h.ticker()->levels[METERLEVEL_BEAT].tick_count.load();
    h.on_pass = [&](double) { h.clock().now = std::nan(""); };
    h.run_until(12.2);
    EXPECT_TRUE(h.take().empty());
    EXPECT_EQ(h.ticker()->levels[METERLEVEL_BEAT].tick_count.load(), ticks);
    int warnings = 0;
    for (const std::string& text : capture.at_level(2)) {
        warnings += text.find("engine clock gave") != std::string::npos;
    }
    EXPECT_EQ(warnings, 1);
    h.on_pass = nullptr;
    h.run_until(14.0);
    const auto records = h.take();
    // The missed tick, merged into one, goes out in the first pass with a
    // valid clock, carrying the time it was due at.
    const auto late = matching(records, [](const midioutput_record& r) {
        return r.bytes == kBeatOn && r.clock_time < 12.2015;
    });
    ASSERT_EQ(late.size(), 1u);
    EXPECT_NEAR(late[0].clock_time, 12.201, 1e-9);
    EXPECT_NEAR(late[0].time, 11.5, 1e-9);
    const auto beats = times_of(in_window(records, 12.2, 1e9), kBeatOn);
    expect_on_grid(beats, 0.5, 0.0, "after NaN");
}

TEST(TickerBadClock, AClockGoingBackwardsMakesNoExtraTicks) {
    LogCapture capture;
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0003);
    h.run_until(11.45);
    h.take();
    // The clock reads 0.3 s behind from now on.
    h.on_pass = [&](double t) { h.clock().now = t - 0.3; };
    double last_phase = 0;
    for (double t = 11.451; t < 13.0; t += kPass) {
        h.run_until(t);
        const double phase =
            meterticker_full_phase(h.ticker()->levels[METERLEVEL_BEAT], h.ticker()->last_pass_time);
        EXPECT_GE(phase, last_phase) << "phases never run back";
        last_phase = phase;
    }
    const auto records = h.take();
    const auto beats = times_of(records, kBeatOn);
    ASSERT_FALSE(beats.empty());
    // The tick due at 11.5 comes when the late clock reaches it (at 11.8).
    EXPECT_NEAR(beats.front(), 11.5, kPass + 1e-9);
    for (size_t i = 1; i < beats.size(); ++i) EXPECT_NEAR(beats[i] - beats[i - 1], 0.5, 1.5e-3);
    bool warned = false;
    for (const std::string& text : capture.at_level(2)) {
        warned = warned || text.find("went back") != std::string::npos;
    }
    EXPECT_TRUE(warned);
}

TEST(TickerBadClock, ReducingTheAntiDelayMakesNoExtraTicks) {
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    meterticker_set_anti_delay(h.ticker(), 0.2);
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0003);
    h.run_until(11.35);  // the beat at 11.5 has fired (0.2 s early)
    meterticker_set_anti_delay(h.ticker(), 0.0);
    h.run_until(13.0);
    const auto beats = times_of(h.take(), kBeatOn);
    for (size_t i = 1; i < beats.size(); ++i) {
        EXPECT_GT(beats[i] - beats[i - 1], 0.25) << "tick " << i << " at " << beats[i];
    }
    meterticker_set_anti_delay(h.ticker(), std::nan(""));
    EXPECT_EQ(meterticker_get_anti_delay(h.ticker()), 0.0) << "a NaN anti-delay is refused";
}

// A pass that comes late (a stalled timer thread) or a clock that jumps
// ahead: the missed ticks merge into one and the level goes on ticking on
// its grid. The rule alone would predict a next tick that is already past,
// and the level's phase would stay at a whole number for ever.
struct LateCase {
    double gap;       // seconds without a pass
    bool after_tick;  // the late pass follows the pass that processed a tick
};

void PrintTo(const LateCase& c, std::ostream* os) {
    *os << c.gap << " s" << (c.after_tick ? " right after a tick" : "");
}

class LatePass : public testing::TestWithParam<LateCase> {};

TEST_P(LatePass, TheLevelKeepsTicking) {
    const double gap = GetParam().gap;
    // The beat tick at 11.0 is processed in the pass at 11.000.
    const double last = GetParam().after_tick ? 11.0 : 11.001;
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    meterticker_midiclock_out(h.ticker(), 1);
    h.estimate(2.0, 0.0, 0.5, 0.0, 0.1, 0.0);
    h.start_at(10.0003);
    h.run_until(last);
    h.jump_to(last + gap);
    h.step();
    h.run_until(last + gap + 3.0);
    const auto records = h.take();
    const double late = last + gap;
    // One merged beat tick in the late pass, carrying the time it was due.
    const auto merged = matching(records, [&](const midioutput_record& r) {
        return r.bytes == kBeatOn && std::fabs(r.clock_time - late) < 1e-9;
    });
    ASSERT_EQ(merged.size(), 1u) << "one merged tick in the late pass";
    EXPECT_NEAR(merged[0].time, 11.5, 1e-9);
    // The pass after it may still carry one merged message per row of what
    // fell between the tick that was due and the late pass; from then on
    // every message goes out in time.
    const auto after = matching(records, [&](const midioutput_record& r) {
        return r.clock_time > late + 1.5 * kPass;
    });
    const auto beats = times_of(after, kBeatOn);
    ASSERT_GE(beats.size(), 5u) << "the beat level is not stuck";
    expect_on_grid(beats, 0.5, 0.0, "after");
    expect_sent_within_a_pass(after);
    const auto tatums = times_of(in_window(after, late + 0.5, 1e9), kTatumOn);
    EXPECT_GE(tatums.size(), 20u) << "the tatum level is not stuck";
    // The MIDI clock goes on: 24 per beat after the late pass.
    const auto clocks = times_of(in_window(after, beats[1] - 1e-6, beats[2] - 1e-6), kClock);
    EXPECT_EQ(clocks.size(), 24u);
}

INSTANTIATE_TEST_SUITE_P(Gaps, LatePass,
                         testing::Values(LateCase{0.55, false}, LateCase{0.7, false},
                                         LateCase{1.64, false}, LateCase{3.3, false},
                                         LateCase{3600.2, false}, LateCase{0.55, true},
                                         LateCase{0.7, true}, LateCase{1.64, true},
                                         LateCase{3600.2, true}));

// The clock jumps between the alignment and the first pass (the timer read
// it twice): the first pass already lies beyond the first beat, where the
// level's phase is held at a whole number. Without the phases at the
// alignment to start from it saw no crossing and the levels stood still.
TEST(TickerBadClock, AJumpBetweenTheAlignmentAndTheFirstPassLeavesNoLevelStill) {
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    CallbackLog log;
    ASSERT_NE(meterticker_register_phase_cb(h.ticker(), METERLEVEL_BEAT, &log, CallbackLog::record),
              nullptr);
    h.estimate(2.0, 0.0, 0.5, 0.0, 0.1, 0.0);
    h.start_at(10.0003);
    ASSERT_TRUE(meterticker_timer_align(h.ticker()));
    h.jump_to(16.0003);
    h.step();
    // Phase callbacks start from the alignment too: the first pass merges
    // what it missed into one call.
    EXPECT_EQ(log.phases.size(), 1u) << "the callback saw the phase move since the alignment";
    h.run_until(19.0);
    const auto beats = times_of(in_window(h.take(), 16.1, 1e9), kBeatOn);
    ASSERT_GE(beats.size(), 5u) << "the beat level stands still";
    expect_on_grid(beats, 0.5, 0.0, "after the jump");
}

TEST(TickerBadClock, AGridPointWithinTheAntiDelayAtAlignmentIsNotLost) {
    // At alignment the first grid point after the clock lies within the
    // anti-delay: the phases (clock + anti-delay) are already past it.
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    meterticker_set_anti_delay(h.ticker(), 0.05);
    h.estimate_meter(0.5, 10.02);
    h.start_at(10.0);
    h.run_until(12.0);
    const auto beats = times_of(h.take(), kBeatOn);
    ASSERT_GE(beats.size(), 3u) << "the beat level is not stuck";
    expect_on_grid(beats, 0.5, 10.02 - 0.05, "beat");
}

TEST(TickerBadClock, AlignmentExactlyOnAGridPointIsNotLost) {
    TickerHarness h;
    meterticker_midinote_out(h.ticker(), 1);
    h.estimate_meter(0.5, 0.0);
    h.start_at(10.0);  // a grid point of 0.5k
    h.step();          // aligned in a pass exactly on it
    h.run_until(12.0);
    const auto beats = times_of(h.take(), kBeatOn);
    ASSERT_GE(beats.size(), 3u) << "the beat level is not stuck";
    expect_on_grid(beats, 0.5, 0.0, "beat");
}

}  // namespace

namespace {

// Two taps on every other beat: from the beat after the second tap the
// clock runs at half the tempo on the tapped beats, without gliding.
TEST(TickerCorrections, ATapStepIsTakenWithinABeat) {
    for (const double press_delay : {0.0, 0.004, 0.02, 0.2}) {
        TickerHarness h;
        meterticker_midinote_out(h.ticker(), 1);
        h.estimate_meter(0.5, 0.0);
        h.start_at(10.0003);
        h.run_until(12.0);
        meterticker_tap(h.ticker(), 12.02);
        h.run_until(13.02 + press_delay);
        meterticker_tap(h.ticker(), 13.02);  // noticed press_delay later
        // The tracker's estimates go on coming, early in beats too.
        for (double t = 13.6; t < 17.0; t += 0.5) {
            h.run_until(t);
            h.update_meter(0.5, 0.0);
        }
        h.run_until(17.0);
        const auto beats = times_of(in_window(h.take(), 13.02 + press_delay, 1e9), kBeatOn);
        ASSERT_GE(beats.size(), 4u);
        // The first beat after the press may still be the old grid's; from
        // the one after, every beat is on 12.0 + k.
        for (size_t i = 2; i < beats.size(); ++i) {
            EXPECT_NEAR(beats[i] - beats[i - 1], 1.0, 1e-6)
                << "delay " << press_delay << ", beat at " << beats[i];
            EXPECT_NEAR(beats[i] - std::round(beats[i]), 0.0, 1e-6) << "beat at " << beats[i];
        }
    }
}

}  // namespace
