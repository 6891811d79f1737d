// The performer's corrections on their own: the grid they make of the
// tracker's grid after taps (at a simple ratio of the tracker's beat, on its
// off-beat, or at no ratio), tempo factors, nudges, bar 1, hold and reset,
// and the text of what is in force.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "corrections.h"

namespace {

struct Deleter {
    void operator()(corrections* c) const { corrections_free(c); }
};
using Corrections = std::unique_ptr<corrections, Deleter>;

meter_grid grid(double beat, double reference, int beats_per_bar = 4, double bar_reference = -1) {
    meter_grid g;
    g.periods[METERLEVEL_BEAT] = beat;
    g.references[METERLEVEL_BEAT] = reference;
    g.periods[METERLEVEL_BAR] = beats_per_bar * beat;
    g.references[METERLEVEL_BAR] = bar_reference < 0 ? reference : bar_reference;
    g.periods[METERLEVEL_TATUM] = beat / 2;
    g.references[METERLEVEL_TATUM] = reference;
    return g;
}

// The distance from t to the nearest point of a grid.
double off_grid(double t, double period, double reference) {
    const double k = std::round((t - reference) / period);
    return t - (reference + k * period);
}

// The beat of a corrected grid lies on the grid (period, reference).
void expect_beat(const meter_grid& g, double period, double reference, double tolerance,
                 const std::string& what) {
    EXPECT_NEAR(g.periods[METERLEVEL_BEAT], period, period * 0.002) << what;
    EXPECT_NEAR(off_grid(g.references[METERLEVEL_BEAT], period, reference), 0.0, tolerance)
        << what;
}

std::string describe(const corrections* c) {
    char text[128];
    corrections_describe(c, text, sizeof text);
    return text;
}

TEST(Corrections, WithoutCommandsTheTrackersGridPassesUnchanged) {
    Corrections c(corrections_new());
    ASSERT_TRUE(c);
    meter_grid out;
    EXPECT_FALSE(corrections_output(c.get(), &out)) << "no grid before the tracker's first";
    const meter_grid in = grid(0.5, 10.03, 3, 9.53);
    corrections_apply(c.get(), in, &out);
    for (int i = 0; i < METERLEVEL_COUNT; ++i) {
        EXPECT_EQ(out.periods[i], in.periods[i]);
        EXPECT_EQ(out.references[i], in.references[i]);
    }
    EXPECT_EQ(describe(c.get()), "");
}

// Four taps with human error on the true beats, against trackers that are
// wrong in the ways trackers are: the clock takes the tapped level and
// phase and then follows the tracker at that relation.
struct TapCase {
    const char* name;
    double tracker_beat;    // the tracker's period, in true beats
    double tracker_offset;  // where its beats lie, in true beats after a true beat
};

class TapRelation : public testing::TestWithParam<TapCase> {};

TEST_P(TapRelation, FourTapsSetTheLevelAndPhaseAndTheTrackerIsFollowedAtIt) {
    const TapCase tc = GetParam();
    const double beat = 0.5, first = 20.0;  // true beats at 20.0 + 0.5k
    Corrections c(corrections_new());
    meter_grid out;
    // The tracker's grid at a time, for true beats at origin + k * true_beat.
    auto tracker = [&](double true_beat, double origin, double now) {
        const double P = tc.tracker_beat * true_beat;
        const double R = origin + tc.tracker_offset * true_beat;
        return grid(P, R + std::floor((now - R) / P) * P);
    };
    corrections_apply(c.get(), tracker(beat, first, 21.0), &out);
    const double errors[] = {0.008, -0.01, 0.004, -0.006};
    for (int i = 0; i < 4; ++i) {
        corrections_change change = corrections_tap(c.get(), 22.0 + i * beat + errors[i]);
        EXPECT_EQ(change.changed, i >= 1) << "tap " << i;
        EXPECT_EQ(change.step, i >= 1);
    }
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, beat, first, 0.012, std::string(tc.name) + ": at once on the tapped grid");
    EXPECT_TRUE(corrections_get_status(c.get()).tap_followed) << tc.name;
    // The tracker's next grid: the clock is on the true beats, to within the
    // tracker's own precision (exact here).
    corrections_apply(c.get(), tracker(beat, first, 24.0), &out);
    expect_beat(out, beat, first, 1e-9, std::string(tc.name) + ": through the tracker");
    // The music speeds up by 8 % from the beat at 26.0 (on the tracker's
    // grid too); the tracker follows at its level.
    const double faster = beat / 1.08;
    const double change = 20.0 + 6.0 * tc.tracker_beat;
    corrections_apply(c.get(), tracker(faster, change, change + 0.4), &out);
    corrections_apply(c.get(), tracker(faster, change, change + 0.9), &out);
    expect_beat(out, faster, change, 1e-9, std::string(tc.name) + ": after the tempo change");
}

INSTANTIATE_TEST_SUITE_P(
    Trackers, TapRelation,
    testing::Values(TapCase{"right", 1.0, 0.0}, TapCase{"off-beat", 1.0, 0.5},
                    TapCase{"half tempo", 2.0, 0.0}, TapCase{"half tempo on beat 2", 2.0, 1.0},
                    TapCase{"double tempo", 0.5, 0.0}, TapCase{"double tempo off", 0.5, 0.25},
                    TapCase{"dotted", 1.5, 0.0}, TapCase{"two thirds", 2.0 / 3.0, 0.0},
                    TapCase{"three beats", 3.0, 1.0}),
    [](const testing::TestParamInfo<TapCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// A slow piece whose tracker sits steadily 0.4 of a beat after the true
// beats (neither on a beat nor on an off-beat): the taps are kept as they
// are, not pulled 80 ms onto the tracker's off-beat.
TEST(Corrections, TapsBetweenTheTrackersBeatAndOffBeatKeepTheirPhase) {
    const double beat = 0.845, first = 10.0;  // true beats at 10.0 + 0.845k
    const double late = 0.4 * beat;
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(beat, first + late), &out);
    const double errors[] = {-0.006, 0.009, -0.004, 0.002};
    for (int i = 0; i < 4; ++i) corrections_tap(c.get(), first + (2 + i) * beat + errors[i]);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, beat, first, 0.012, "on the tapped grid");
    EXPECT_TRUE(corrections_get_status(c.get()).tap_followed);
    corrections_apply(c.get(), grid(beat, first + 8 * beat + late), &out);
    expect_beat(out, beat, first, 0.012, "through the tracker");
    // The music slows by 5 %; the tracker keeps its place in the bar.
    const double slower = beat * 1.05, change = first + 10 * beat;
    corrections_apply(c.get(), grid(slower, change + 0.4 * slower), &out);
    expect_beat(out, slower, change, 0.012, "after the tempo change");
}

// The music steps from 0.6 s to 0.42 s beats; the tracker finds the new beat
// (or its off-beat, where it was before), while the clock's grid before ran
// at the old tempo and lies nearer the tracker's off-beat of the new one.
// The clock keeps the tapped relation to the tracker through the step.
TEST(Corrections, TheTappedRelationIsKeptThroughAStepOfTheTempo) {
    for (const double tracker_offset : {0.0, 0.5}) {  // in true beats
        SCOPED_TRACE(tracker_offset);
        Corrections c(corrections_new());
        meter_grid out;
        const double before = 0.6, after = 0.42, step = 30.0;
        corrections_apply(c.get(), grid(before, 20.0 + tracker_offset * before), &out);
        for (int i = 0; i < 4; ++i) corrections_tap(c.get(), 21.2 + before * i);
        corrections_apply(c.get(), grid(before, 24.2 + tracker_offset * before), &out);
        expect_beat(out, before, 20.0, 1e-9, "before the step");
        // True beats from the step on at 30.0 + 0.42k; the clock's old grid
        // has a beat at 31.4, 0.14 s after the true beat at 31.26 and 0.07 s
        // before the off-beat.
        corrections_apply(c.get(), grid(after, step + 3 * after + tracker_offset * after), &out);
        expect_beat(out, after, step, 1e-9, "after the step");
        corrections_apply(c.get(), grid(after, step + 6 * after + tracker_offset * after), &out);
        expect_beat(out, after, step, 1e-9, "and on");
    }
}

TEST(Corrections, TheTappedLevelIsKeptWhenTheTrackerChangesLevelOrFlipsToTheOffBeat) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    for (int i = 0; i < 4; ++i) corrections_tap(c.get(), 11.0 + 0.5 * i);
    // The tracker halves its tempo, then takes the off-beat of it.
    corrections_apply(c.get(), grid(1.0, 12.0), &out);
    expect_beat(out, 0.5, 10.0, 1e-9, "tracker at half tempo");
    corrections_apply(c.get(), grid(1.0, 13.5), &out);
    expect_beat(out, 0.5, 10.0, 1e-9, "tracker on its off-beat");
    corrections_apply(c.get(), grid(0.5, 14.25), &out);
    expect_beat(out, 0.5, 10.0, 1e-9, "tracker back at the beat, a quarter off");
}

TEST(Corrections, TapsAtNoSimpleRatioRunOnTheirOwnAndRecentreTheTrackersPreference) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5 * 1.27, 10.0), &out);
    for (int i = 0; i < 4; ++i) corrections_tap(c.get(), 11.0 + 0.5 * i);
    double preference = 0.0;
    ASSERT_TRUE(corrections_take_preference(c.get(), &preference));
    EXPECT_NEAR(preference, 0.5, 1e-9);
    EXPECT_FALSE(corrections_take_preference(c.get(), &preference)) << "asked once";
    corrections_apply(c.get(), grid(0.5 * 1.27, 12.6), &out);
    expect_beat(out, 0.5, 11.0, 1e-9, "the tapped grid runs on");
    EXPECT_FALSE(corrections_get_status(c.get()).tap_followed);
    EXPECT_EQ(describe(c.get()), "tap (own tempo)");
    // The tracker comes round to the tapped tempo, a little off in phase.
    corrections_apply(c.get(), grid(0.501, 13.005), &out);
    EXPECT_TRUE(corrections_get_status(c.get()).tap_followed);
    expect_beat(out, 0.501, 13.005, 1e-9, "followed through the tracker");
    // Reset gives the application's preference back.
    corrections_reset(c.get(), 14.0);
    ASSERT_TRUE(corrections_take_preference(c.get(), &preference));
    EXPECT_EQ(preference, 0.0);
}

TEST(Corrections, ATapFarFromTheTapGridOrAfterAPauseStartsANewSequence) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    corrections_tap(c.get(), 11.0);
    corrections_tap(c.get(), 11.5);
    corrections_tap(c.get(), 12.0);
    EXPECT_EQ(corrections_get_status(c.get()).taps, 3);
    corrections_tap(c.get(), 12.5 + 0.21);  // 42 % of a beat off
    EXPECT_EQ(corrections_get_status(c.get()).taps, 1);
    corrections_tap(c.get(), 13.21);
    corrections_tap(c.get(), 13.71 + 0.19);  // 38 %: part of the sequence
    EXPECT_EQ(corrections_get_status(c.get()).taps, 3);
    corrections_tap(c.get(), 13.9 + 2.1);  // after 2.1 s
    EXPECT_EQ(corrections_get_status(c.get()).taps, 1);
    // The grid of the last complete sequence stays in force meanwhile.
    ASSERT_TRUE(corrections_output(c.get(), &out));
    EXPECT_TRUE(corrections_get_status(c.get()).tapped);
}

TEST(Corrections, TempoFactorsStartAtTheNextBeatAndMultiply) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    // x2 pressed at 11.2 (the clock's output at 11.2): from the beat at 11.5.
    corrections_change change = corrections_tempo_factor(c.get(), 2, 1, 11.2);
    EXPECT_TRUE(change.step);
    EXPECT_NEAR(change.switch_at, 11.5, 1e-9);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 0.25, 11.5, 1e-9, "x2");
    EXPECT_EQ(describe(c.get()), "x2");
    corrections_apply(c.get(), grid(0.5, 12.0), &out);
    expect_beat(out, 0.25, 11.5, 1e-9, "x2 through the tracker");
    // /2 pressed at 12.3: the fast grid's next beat is 12.5.
    change = corrections_tempo_factor(c.get(), 1, 2, 12.3);
    EXPECT_NEAR(change.switch_at, 12.5, 1e-9);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 0.5, 12.5, 1e-9, "back to the tracker's tempo");
    EXPECT_EQ(describe(c.get()), "");
    // 3/2 then 2/3 of it, and a /2 starting on the tracker's beat.
    corrections_tempo_factor(c.get(), 3, 2, 13.1);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 1.0 / 3.0, 13.5, 1e-9, "x3/2");
    EXPECT_EQ(describe(c.get()), "x3/2");
    corrections_apply(c.get(), grid(0.5, 14.0), &out);
    expect_beat(out, 1.0 / 3.0, 13.5, 1e-9, "x3/2 through the tracker");
    corrections_tempo_factor(c.get(), 1, 2, 14.2);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 2.0 / 3.0, 14.5, 1e-9, "x3/4");
    EXPECT_EQ(describe(c.get()), "x3/4");
    // A beat due within a tenth of a beat of the press may be on its way:
    // the factor starts at the one after.
    corrections_reset(c.get(), 15.0);
    corrections_apply(c.get(), grid(0.5, 15.0), &out);
    change = corrections_tempo_factor(c.get(), 2, 1, 15.47);
    EXPECT_NEAR(change.switch_at, 16.0, 1e-9);
}

TEST(Corrections, NudgeMovesEveryLevelAndAddsUp) {
    Corrections c(corrections_new());
    meter_grid out;
    const meter_grid in = grid(0.5, 10.0, 4, 9.5);
    corrections_apply(c.get(), in, &out);
    corrections_nudge(c.get(), 0.010, 10.1);
    corrections_nudge(c.get(), 0.010, 10.2);
    corrections_nudge(c.get(), -0.005, 10.3);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    for (int i = 0; i < METERLEVEL_COUNT; ++i)
        EXPECT_NEAR(out.references[i], in.references[i] + 0.015, 1e-12) << "level " << i;
    EXPECT_EQ(describe(c.get()), "nudge +15 ms");
}

TEST(Corrections, BarOneMovesTheBarStartToTheBeatNearestThePressAndKeepsToTheTrackersBars) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0, 4, 10.0), &out);  // bars at 10.0 + 2k
    corrections_bar_one(c.get(), 11.03);                          // nearest beat 11.0, beat 3
    ASSERT_TRUE(corrections_output(c.get(), &out));
    EXPECT_NEAR(off_grid(out.references[METERLEVEL_BAR], 2.0, 11.0), 0.0, 1e-9);
    // The tracker's bar start a bar later, then its downbeat guess moved by
    // a beat, then by two: bar 1 stays where the performer put it.
    corrections_apply(c.get(), grid(0.5, 12.0, 4, 12.0), &out);
    EXPECT_NEAR(off_grid(out.references[METERLEVEL_BAR], 2.0, 11.0), 0.0, 1e-9);
    corrections_apply(c.get(), grid(0.5, 12.5, 4, 12.5), &out);
    EXPECT_NEAR(off_grid(out.references[METERLEVEL_BAR], 2.0, 11.0), 0.0, 1e-9);
    corrections_apply(c.get(), grid(0.5, 13.0, 4, 13.5), &out);
    EXPECT_NEAR(off_grid(out.references[METERLEVEL_BAR], 2.0, 11.0), 0.0, 1e-9);
    EXPECT_EQ(out.periods[METERLEVEL_BAR], 2.0);
    EXPECT_EQ(describe(c.get()), "bar 1");
    // The music slows by 10 %, the tracker's bars with it: bar 1 follows.
    corrections_apply(c.get(), grid(0.55, 14.0, 4, 14.0 + 1.1), &out);
    EXPECT_NEAR(off_grid(out.references[METERLEVEL_BAR], 2.2, 14.0 + 0.55), 0.0, 1e-9);
}

TEST(Corrections, HoldFreezesTheTrackersGridUntilRelease) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    EXPECT_FALSE(corrections_hold(c.get(), true, 10.2).changed) << "nothing moves at the press";
    corrections_apply(c.get(), grid(0.6, 11.37), &out);  // a break: the tracker wanders
    expect_beat(out, 0.5, 10.0, 1e-12, "held");
    EXPECT_EQ(describe(c.get()), "hold");
    // Corrections still work on the held grid.
    corrections_nudge(c.get(), 0.01, 11.4);
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 0.5, 10.01, 1e-12, "held and nudged");
    const corrections_change release = corrections_hold(c.get(), false, 12.0);
    EXPECT_TRUE(release.changed);
    EXPECT_FALSE(release.step) << "back to following without a jump";
    ASSERT_TRUE(corrections_output(c.get(), &out));
    expect_beat(out, 0.6, 11.38, 1e-12, "the tracker again");
}

TEST(Corrections, ResetForgetsEverything) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    for (int i = 0; i < 3; ++i) corrections_tap(c.get(), 10.25 + 0.5 * i);
    corrections_tempo_factor(c.get(), 2, 1, 12.0);
    corrections_nudge(c.get(), 0.02, 12.0);
    corrections_bar_one(c.get(), 12.5);
    corrections_hold(c.get(), true, 12.6);
    EXPECT_EQ(describe(c.get()), "tap, x2, nudge +20 ms, bar 1, hold");
    const corrections_change change = corrections_reset(c.get(), 13.0);
    EXPECT_TRUE(change.step);
    EXPECT_EQ(change.switch_at, 13.0);
    EXPECT_EQ(describe(c.get()), "");
    const meter_grid in = grid(0.48, 13.1);
    corrections_apply(c.get(), in, &out);
    for (int i = 0; i < METERLEVEL_COUNT; ++i) EXPECT_EQ(out.references[i], in.references[i]);
}

TEST(Corrections, TheDescriptionIsCutToTheBufferLikeSnprintf) {
    Corrections c(corrections_new());
    meter_grid out;
    corrections_apply(c.get(), grid(0.5, 10.0), &out);
    corrections_nudge(c.get(), -0.03, 10.0);
    char small[8];
    EXPECT_EQ(corrections_describe(c.get(), small, sizeof small), 12);  // "nudge -30 ms"
    EXPECT_EQ(std::string(small), "nudge -");
}

}  // namespace
