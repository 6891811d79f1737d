// The enhanced model's stages on small fixtures with known answers: the
// accent history they read, the off-beat test, the confidence of a steady
// beat, periods and beats between accent frames, and the model choice of the
// tracker (the classic model unchanged).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "accentHistory.h"
#include "enhancedModel.h"
#include "meterTrackerC.h"
#include "offbeatTest.h"
#include "stepConfidence.h"
#include "subframe.h"
#include "synthetic_drums.h"
#include "trackingModel.h"

using namespace meterTracker;

namespace {

const double kFs = 172.265625;

// A history of `seconds` with onsets of height `height` at first + k *
// period (in the low band and in the total), every band's total at `total`
// elsewhere.
AccentHistory pulses(double seconds, double period, double first, double height,
                     double total = 3.0) {
    const unsigned frames = static_cast<unsigned>(seconds * kFs);
    AccentHistory h(4, frames);
    const double channels[4] = {1.0, 1.0, 0.5, 0.5};
    for (unsigned f = 0; f < frames; ++f) {
        const double t = f / kFs;
        const double k = std::round((t - first) / period);
        const bool onset = std::fabs(t - (first + k * period)) < 0.5 / kFs;
        h.push(f, onset ? height : 0.0, onset ? total + height : total, channels);
    }
    return h;
}

TEST(AccentHistory, KeepsTheNewestFramesAndReadsOnlyThose) {
    AccentHistory h(2, 100);
    const double channels[2] = {0.0, 0.0};
    for (unsigned f = 0; f < 250; ++f) h.push(f, f == 180 ? 7.0 : 1.0, 2.0 * f, channels);
    EXPECT_EQ(h.first(), 150u);
    EXPECT_EQ(h.end(), 250u);
    EXPECT_FALSE(h.holds(149));
    EXPECT_EQ(h.maxLow(170, 190), 7.0);
    EXPECT_EQ(h.maxLow(0, 160), 1.0) << "frames no longer held do not count";
    EXPECT_EQ(h.maxLow(300, 400), 0.0);
    EXPECT_DOUBLE_EQ(h.meanTotal(10), 2.0 * 244.5);
    // A gap starts the history afresh.
    h.push(400, 1.0, 1.0, channels);
    EXPECT_EQ(h.first(), 400u);
    EXPECT_DOUBLE_EQ(h.meanTotal(50), 1.0);
}

TEST(OffbeatTest, MovesAGridOnTheOffBeatByHalfABeatAndBackWhenTheMusicSaysSo) {
    const double period = 0.5;
    OffbeatTest test(kFs);
    // The low-band onsets lie on 0.25 + k/2: a grid at 0 + k/2 is off the beat.
    const AccentHistory offGrid = pulses(12.0, period, 0.25, 5.0);
    const unsigned last = offGrid.end() - 1;
    EXPECT_NEAR(test.decide(offGrid, last, period, 10.0), 10.25, 1e-12);
    EXPECT_TRUE(test.shifted());
    EXPECT_GT(test.evidence(), 1.0);
    // Evidence that is only a little weaker keeps the choice (no flicker).
    const AccentHistory weaker = pulses(12.0, period, 0.0, 5.0);
    OffbeatTest fresh(kFs);
    EXPECT_NEAR(fresh.decide(weaker, last, period, 10.0), 10.0, 1e-12) << "on the beat already";
    EXPECT_FALSE(fresh.shifted());
    // Once the beat positions carry the onsets, the shift goes.
    EXPECT_NEAR(test.decide(weaker, last, period, 10.0), 10.0, 1e-12);
    EXPECT_FALSE(test.shifted());
}

TEST(OffbeatTest, MovesAGridThatIsASixteenthOrATripletOffOntoTheOnsets) {
    const double period = 0.6;
    // Onsets a quarter, a third, half, two thirds and three quarters of a
    // beat after the grid, and on it.
    for (double offset : {0.25, 1.0 / 3.0, 0.5, 2.0 / 3.0, 0.75, 0.0}) {
        OffbeatTest test(kFs);
        const AccentHistory h = pulses(12.0, period, offset * period, 5.0);
        EXPECT_NEAR(test.decide(h, h.end() - 1, period, 6.0), 6.0 + offset * period, 1e-9)
            << offset;
        EXPECT_EQ(test.shifted(), offset != 0.0) << offset;
    }
}

TEST(OffbeatTest, SaysNothingWithoutEnoughMusicOrWithoutAPeriod) {
    OffbeatTest test(kFs);
    const AccentHistory shortOne = pulses(1.0, 0.5, 0.25, 5.0);
    EXPECT_EQ(test.decide(shortOne, shortOne.end() - 1, 0.5, 0.5), 0.5);
    EXPECT_FALSE(test.shifted());
    const AccentHistory h = pulses(12.0, 0.5, 0.25, 5.0);
    EXPECT_EQ(test.decide(h, h.end() - 1, 0.0, 3.0), 3.0);
    EXPECT_FALSE(test.shifted());
}

double gaussian(double x, double centre) {
    return 2.0 * std::exp(-(x - centre) * (x - centre) / (2.0 * 3.0 * 3.0));
}

TEST(Subframe, APeakIsPlacedBetweenSamplesAndOnlyWhereThereIsOne) {
    // Samples of a Gaussian at -1, 0, 1 give its centre back exactly.
    for (double centre : {-0.5, -0.31, -0.07, 0.0, 0.12, 0.45}) {
        EXPECT_NEAR(peakOffset(gaussian(-1, centre), gaussian(0, centre), gaussian(1, centre)),
                    centre, 1e-9)
            << centre;
    }
    struct Case {
        const char* what;
        double before, middle, after;
    };
    const Case noPeak[] = {
        {"rising", 1.0, 2.0, 3.0},      {"a dip", 2.0, 1.0, 2.0},
        {"flat", 1.0, 1.0, 1.0},        {"a zero neighbour", 0.0, 2.0, 1.0},
        {"negative", -1.0, -0.5, -2.0}, {"not a number", std::nan(""), 2.0, 1.0},
    };
    for (const Case& c : noPeak) EXPECT_EQ(peakOffset(c.before, c.middle, c.after), 0.0) << c.what;
}

TEST(Subframe, PeriodsAndBeatsMoveToThePeakAroundTheChosenFrame) {
    // Salience over lags 1 .. 200 (seconds: lag / fs) peaking at lag 86.3.
    std::vector<double> lags, salience;
    for (int lag = 1; lag <= 200; ++lag) {
        lags.push_back(lag / kFs);
        salience.push_back(gaussian(lag, 86.3));
    }
    EXPECT_NEAR(refineLagPeriod(salience, lags, 86 / kFs) * kFs, 86.3, 1e-6);
    EXPECT_EQ(refineLagPeriod(salience, lags, 86.5 / kFs), 86.5 / kFs) << "not one of the lags";
    // A curve that peaks at its first lag: that lag has no neighbour before it.
    const std::vector<double> falling = {3.0, 2.0, 1.0}, firstLags = {1 / kFs, 2 / kFs, 3 / kFs};
    EXPECT_EQ(refineLagPeriod(falling, firstLags, 1 / kFs), 1 / kFs) << "the first lag";
    EXPECT_EQ(refineLagPeriod(salience, lags, 120 / kFs), 120 / kFs) << "no peak there";

    // A delay line of 80 positions ending at frame 1000: position p lies at
    // frame 1000 + 2 - 80 + p, plus half a frame. The beat's scores peak
    // 0.3 of a frame before position 0, so its neighbour before is the
    // line's last position, a period later.
    const unsigned last = 1000;
    std::vector<double> scores(80);
    for (int p = 0; p < 80; ++p) scores[p] = gaussian(p < 40 ? p : p - 80, -0.3);
    const double phase = (last + 2.0 - 80.0 + 0.5) / kFs;
    EXPECT_NEAR((refinePhase(scores, last, kFs, phase) - phase) * kFs, -0.3, 1e-6);
    for (double outside : {phase - 1.0 / kFs, phase + 80.0 / kFs, phase + 0.3 / kFs})
        EXPECT_EQ(refinePhase(scores, last, kFs, outside), outside) << "not a position of the line";
}

TEST(StepConfidence, ASteadyBeatIsConfidentSilenceAndAJumpingPeriodAreNot) {
    struct Case {
        const char* what;
        double total;                  // the accent level of the input
        double onsets;                 // the height of its onsets above that
        std::vector<double> periods;   // beat period of each step
        bool confident;                // after the last step
    };
    const std::vector<Case> cases = {
        {"steady beat", 3.0, 30.0, std::vector<double>(12, 0.5), true},
        {"tempo bending slowly", 3.0, 30.0,
         {0.5, 0.505, 0.51, 0.515, 0.52, 0.525, 0.53, 0.535, 0.54, 0.545, 0.55}, true},
        {"silence", 0.0, 0.0, std::vector<double>(12, 0.5), false},
        {"a steady tone (tiny ripples)", 0.4, 0.0, std::vector<double>(12, 0.5), false},
        {"noise: busy without onsets", 3.0, 0.0, std::vector<double>(12, 0.5), false},
        {"a new period every other step", 3.0, 30.0,
         {0.5, 0.7, 0.7, 0.41, 0.9, 0.9, 0.33, 0.6, 0.6, 1.1, 0.45, 0.45}, false},
    };
    for (const Case& c : cases) {
        const AccentHistory h = pulses(10.0, 0.5, 0.0, c.onsets, c.total);
        StepConfidence confidence(kFs);
        double last = 0.0;
        for (double p : c.periods) last = confidence.update(h, p);
        EXPECT_EQ(last >= kSteadyBeatConfidence, c.confident) << c.what << ": " << last;
        EXPECT_GE(last, 0.0);
        EXPECT_LE(last, 1.0);
    }
}

TEST(TrackingModel, NamesAndStageListsParse) {
    TrackingModel model = TrackingModel::Classic;
    EXPECT_TRUE(parseTrackingModel("enhanced", model));
    EXPECT_EQ(model, TrackingModel::Enhanced);
    EXPECT_FALSE(parseTrackingModel("fancy", model));
    EXPECT_STREQ(trackingModelName(TrackingModel::Classic), "classic");

    EnhancedStages stages;
    std::string error;
    EXPECT_TRUE(parseEnhancedStages("-offbeat", stages, error));
    EXPECT_FALSE(stages.offbeat);
    EXPECT_TRUE(stages.downbeat);
    EXPECT_TRUE(parseEnhancedStages("none", stages, error));
    EXPECT_FALSE(stages.level || stages.offbeat || stages.downbeat || stages.subframe);
    EXPECT_TRUE(parseEnhancedStages("all", stages, error));
    EXPECT_TRUE(stages.level && stages.offbeat && stages.downbeat && stages.subframe);
    EXPECT_TRUE(parseEnhancedStages("-subframe,-level", stages, error));
    EXPECT_FALSE(stages.subframe || stages.level);
    EXPECT_TRUE(stages.offbeat && stages.downbeat);
    EXPECT_FALSE(parseEnhancedStages("-sparkle", stages, error));
    EXPECT_NE(error.find("sparkle"), std::string::npos);
    EXPECT_FALSE(parseEnhancedStages("offbeat", stages, error)) << "a stage is named to switch off";
}

std::vector<double> drums(double bpm, double seconds) {
    synth::DrumPattern p;
    p.bpm = bpm;
    p.seconds = seconds;
    return synth::drums(p).samples;
}

void feed(mTracker& t, const std::vector<double>& x) {
    for (std::size_t i = 0; i < x.size(); i += 128) {
        t.addData(&x[i], static_cast<unsigned>(std::min<std::size_t>(128, x.size() - i)));
        t.process();
    }
}

TEST(TrackingModel, EnhancedWithoutStagesReportsWhatTheClassicModelDoes) {
    const std::vector<double> x = drums(118.0, 20.0);
    EnhancedStages none;
    none.level = none.offbeat = none.downbeat = none.subframe = false;
    mTracker classic(44100), enhanced(44100, TrackingModel::Enhanced, none);
    feed(classic, x);
    feed(enhanced, x);
    ASSERT_EQ(classic.getPulseCache().nRows(), enhanced.getPulseCache().nRows());
    for (unsigned r = 0; r < classic.getPulseCache().nRows(); ++r)
        for (unsigned c = 0; c < 3; ++c)
            EXPECT_EQ(classic.getPulseCache()[r][c], enhanced.getPulseCache()[r][c]);
    EXPECT_EQ(classic.getModel(), TrackingModel::Classic);
    EXPECT_EQ(classic.getEnhancedModel(), nullptr);
    ASSERT_NE(enhanced.getEnhancedModel(), nullptr);
    EXPECT_GE(classic.getConfidence(), kSteadyBeatConfidence) << "drums have a steady beat";
}

// At 127 BPM a beat lasts 81.4 accent frames: the classic model reads 81
// (127.6 BPM) and lays every beat on a frame. The enhanced model's periods
// and beats lie between frames, where the music has them.
TEST(TrackingModel, EnhancedPeriodsAndBeatsAreNotWholeAccentFrames) {
    const double bpm = 127.0, truePeriod = 60.0 / bpm;
    const std::vector<double> x = drums(bpm, 20.0);
    EnhancedStages onlySubframe;
    onlySubframe.level = onlySubframe.offbeat = onlySubframe.downbeat = false;
    mTracker classic(44100), enhanced(44100, TrackingModel::Enhanced, onlySubframe);
    feed(classic, x);
    feed(enhanced, x);
    const unsigned rows = classic.getPulseCache().nRows();
    ASSERT_GT(rows, 20u);
    // The steady part: after the first 8 s.
    std::vector<double> classicPeriods, enhancedPeriods;
    for (unsigned r = 16; r < rows; ++r) {
        classicPeriods.push_back(classic.getPulseCache()[r][0].real() * kFs);
        enhancedPeriods.push_back(enhanced.getPulseCache()[r][0].real() * kFs);
    }
    auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    EXPECT_NEAR(median(classicPeriods), std::round(truePeriod * kFs), 1e-9);
    EXPECT_NEAR(median(enhancedPeriods), truePeriod * kFs, 0.2)
        << "within a fifth of a frame of the true period (whole frames are 0.4 off)";

    // Beats off a straight line through them, in frames.
    auto spread = [](const std::vector<double>& beats) {
        std::vector<double> t;
        for (double b : beats)
            if (b > 8.0) t.push_back(b * kFs);
        const double n = static_cast<double>(t.size());
        double k = 0, kk = 0, y = 0, ky = 0;
        for (std::size_t i = 0; i < t.size(); ++i) {
            k += i, kk += double(i) * i, y += t[i], ky += i * t[i];
        }
        const double slope = (n * ky - k * y) / (n * kk - k * k), origin = (y - slope * k) / n;
        double squares = 0;
        for (std::size_t i = 0; i < t.size(); ++i)
            squares += (t[i] - origin - slope * i) * (t[i] - origin - slope * i);
        return std::sqrt(squares / n);
    };
    const double classicSpread = spread(classic.getPulseTrain(0).pulses());
    const double enhancedSpread = spread(enhanced.getPulseTrain(0).pulses());
    EXPECT_LT(enhancedSpread, 0.5 * classicSpread)
        << "classic " << classicSpread << " frames, enhanced " << enhancedSpread;
}

TEST(TrackingModel, SilenceAndNoiseHaveNoConfidentSteps) {
    std::vector<double> silence(44100 * 12, 0.0);
    std::vector<double> noise(44100 * 12);
    synth::Noise source(5);
    for (double& v : noise) v = 0.3 * source.next();
    for (const auto* input : {&silence, &noise}) {
        mTracker t(44100, TrackingModel::Enhanced);
        feed(t, *input);
        unsigned confident = 0;
        for (unsigned r = 0; r < t.getPulseCache().nRows(); ++r)
            confident += t.getRowConfidence(r) >= kSteadyBeatConfidence;
        EXPECT_LT(confident * 4, t.getPulseCache().nRows()) << (input == &silence ? "silence" : "noise");
    }
}

}  // namespace
