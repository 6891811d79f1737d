// The phase model: its free functions (transition likelihood, bar-pattern
// scores, pulse lists) and the phase stage on synthetic resonator delay lines.
#include <gtest/gtest.h>

#include <random>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "Matrix.h"
#include "meterPerPha2Pulse.h"
#include "pulseTrain.h"
#include "oracle_data.h"
#include "params.h"
#include "phaLogTransLikes.h"
#include "phaseModel.h"
#include "solvePattPhase.h"

using NumaMathLibrary::Matrix;
using namespace meterTracker;

namespace {

const double kSqrtTwoPi = 2.5066282746310002;

// ------------------------------------------------------- phaLogTransLikes

TEST(PhaLogTransLikes, DocumentedExample) {
    Matrix<double> out;
    phaLogTransLikes({1.0}, 0.5, {1.5, 1.25, 1.74}, 0.1, out);
    ASSERT_EQ(out.nRows(), 1u);
    ASSERT_EQ(out.nCols(), 3u);
    const double peak = 1.0 / (0.1 * kSqrtTwoPi);
    EXPECT_DOUBLE_EQ(out[0][0], peak);                                // d = 0
    EXPECT_NEAR(out[0][1], peak * std::exp(-0.5 * 25.0), 1e-15);      // d = -0.5
    EXPECT_NEAR(out[0][2], peak * std::exp(-0.5 * 4.8 * 4.8), 1e-9);  // d about 0.48
    EXPECT_LT(out[0][1], out[0][2]);
}

TEST(PhaLogTransLikes, DependsOnlyOnTheDistanceToWholePeriods) {
    Matrix<double> out;
    // Whole periods apart in either direction: the peak value.
    phaLogTransLikes({3.0, 10.0}, 0.7, {3.0 + 7 * 0.7, 10.0 - 3 * 0.7}, 0.1, out);
    EXPECT_NEAR(out[0][0], 1.0 / (0.1 * kSqrtTwoPi), 1e-9);
    EXPECT_NEAR(out[1][1], 1.0 / (0.1 * kSqrtTwoPi), 1e-9);
    // A quarter period either way gives the same value.
    phaLogTransLikes({5.0}, 1.0, {5.25, 4.75, 9.25}, 0.2, out);
    EXPECT_NEAR(out[0][0], out[0][1], 1e-12);
    EXPECT_NEAR(out[0][0], out[0][2], 1e-12);
}

TEST(PhaLogTransLikes, MatchesNumpy) {
    const auto data = oracle::read("phase_trans.txt");
    ASSERT_EQ(data.size(), 8u);
    Matrix<double> out(15, 15);  // reused at the same shape
    for (int s = 0; s < 2; ++s) {
        const double period = data[2 + 3 * s][0], sigma = data[3 + 3 * s][0];
        phaLogTransLikes(data[0], period, data[1], sigma, out);
        for (unsigned i = 0; i < 15; ++i)
            for (unsigned j = 0; j < 15; ++j)
                EXPECT_NEAR(out[i][j], data[4 + 3 * s][i * 15 + j], 1e-9)
                    << "period " << period << " at " << i << "," << j;
    }
}

// --------------------------------------------------------- solvePattPhase

Matrix<double> spikeMatrix(unsigned tau, unsigned channels, unsigned row, unsigned channel,
                           double value) {
    Matrix<double> m(tau, channels);
    m[row][channel] = value;
    return m;
}

TEST(SolvePattPhase, LowChannelSpikeScoresItsPositionAsDownbeat) {
    const double downbeat = 2.1 * (1.1665 * 10.0);
    for (unsigned tau : {4u, 7u, 8u, 86u, 345u}) {
        std::vector<double> out;
        EXPECT_EQ(solvePattPhase(spikeMatrix(tau, 4, 0, 0, 1.0), out), 0u) << tau;
        ASSERT_EQ(out.size(), tau);
        EXPECT_NEAR(out[0], downbeat, 1e-12) << tau;
        for (unsigned j = 1; j < tau; ++j) EXPECT_LT(out[j], out[0]) << tau << " " << j;
    }
}

TEST(SolvePattPhase, HandComputedScoresForSevenPositions) {
    // tau 7: quarter offsets round(1.75) = 2, round(3.5) = 4, round(5.25) = 5.
    std::vector<double> out;
    solvePattPhase(spikeMatrix(7, 4, 0, 0, 1.0), out);
    const std::vector<double> want{2.1 * 11.665,  // downbeat
                                   0.0,
                                   2.1 * (1.0 + 4.738),  // spike on the fourth quarter
                                   3.0314,               // spike on the third quarter
                                   0.0,
                                   2.1,  // spike on the second quarter
                                   0.0};
    ASSERT_EQ(out.size(), want.size());
    for (unsigned j = 0; j < 7; ++j) EXPECT_NEAR(out[j], want[j], 1e-12) << j;
}

TEST(SolvePattPhase, HigherChannelsCountByTheirRisingWeight) {
    // Channel 2 (weight 3) at row 3 of 8 positions; offsets 2, 4, 6. The
    // second template's third-quarter weight wins at j = 7 (7 + 4 = 3 mod 8).
    std::vector<double> out;
    EXPECT_EQ(solvePattPhase(spikeMatrix(8, 4, 3, 2, 1.0), out), 7u);
    EXPECT_NEAR(out[7], 3 * 3.0314, 1e-12);
    EXPECT_NEAR(out[1], 2.1 * 3, 1e-12);  // second quarter
    EXPECT_NEAR(out[5], 2.1 * 3, 1e-12);  // fourth quarter (first template is larger)
    EXPECT_EQ(out[3], 0.0);               // no low-channel energy at a downbeat
}

TEST(SolvePattPhase, TiesGoToTheLowestPosition) {
    Matrix<double> m(8, 4);
    m += 1.0;
    std::vector<double> out;
    EXPECT_EQ(solvePattPhase(m, out), 0u);
    for (double v : out) EXPECT_NEAR(v, 2.1 * (10 + 10 + 4.738 + 11.665), 1e-12);
}

// ------------------------------------------------------ meterPerPha2Pulse

struct PulseListCase {
    std::string name;
    std::vector<double> periods, phases, start, want;
};

void PrintTo(const PulseListCase& c, std::ostream* os) {
    *os << c.name;
}

class PulseList : public ::testing::TestWithParam<PulseListCase> {};

TEST_P(PulseList, FromEstimates) {
    const PulseListCase& c = GetParam();
    std::vector<double> pulses = c.start;
    meterPerPha2Pulse(c.periods, c.phases, pulses);
    ASSERT_EQ(pulses.size(), c.want.size());
    for (std::size_t i = 0; i < pulses.size(); ++i) EXPECT_NEAR(pulses[i], c.want[i], 1e-12) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PulseList,
    ::testing::Values(
        // The documented example: 1.5 fills the gap, 2.1 lies within half a period of 2.0.
        PulseListCase{"documented", {0.5, 0.5, 0.5}, {1.0, 2.0, 2.1}, {}, {1.0, 1.5, 2.0}},
        PulseListCase{"empty_keeps_one_old", {}, {}, {3, 4, 5}, {3}},
        PulseListCase{"empty_gives_zero", {}, {}, {}, {0}},
        PulseListCase{"single", {0.4}, {2.5}, {9, 9}, {2.5}},
        // Gaps are filled with the earlier estimate's period.
        PulseListCase{"fill", {0.5, 0.4}, {0.0, 2.0}, {}, {0.0, 0.5, 1.0, 1.5, 2.0}},
        // Skipped estimates chain: each is compared with the one before it.
        PulseListCase{"chain", {1, 1, 1, 1}, {0, 0.4, 0.8, 1.2}, {}, {0}},
        PulseListCase{"after_skip", {1, 1, 1}, {0, 0.4, 1.0}, {}, {0, 1.0}},
        // Repeated estimates of the same pulse count once.
        PulseListCase{
            "repeats", {0.5, 0.5, 0.5, 0.5}, {1.0, 1.0, 1.5, 2.5}, {}, {1.0, 1.5, 2.0, 2.5}},
        // A period that is not positive fills nothing instead of looping forever.
        PulseListCase{"zero_period", {0.0, 0.5}, {1.0, 3.0}, {}, {1.0, 3.0}}),
    [](const testing::TestParamInfo<PulseListCase>& info) { return info.param.name; });

TEST(PulseListDeathTest, NeedsAPeriodForEveryPhase) {
    std::vector<double> pulses;
    EXPECT_DEATH(meterPerPha2Pulse({0.5}, {1.0, 2.0}, pulses),
                 "periods.size\\(\\) >= phases.size\\(\\)");
}

// ------------------------------------------------------------ PulseTrain

// The train, fed one estimate at a time, gives the list that
// meterPerPha2Pulse gives for all of them at once, after every estimate.
void expectSameAsWholeList(const std::vector<double>& periods, const std::vector<double>& phases,
                           const std::string& what) {
    PulseTrain train;
    std::vector<double> whole;
    meterPerPha2Pulse({}, {}, whole);
    ASSERT_EQ(train.pulses(), whole) << what;
    for (std::size_t n = 1; n <= phases.size(); ++n) {
        train.add(periods[n - 1], phases[n - 1]);
        const std::vector<double> p(periods.begin(), periods.begin() + n);
        const std::vector<double> f(phases.begin(), phases.begin() + n);
        meterPerPha2Pulse(p, f, whole);
        ASSERT_EQ(train.pulses(), whole) << what << " after " << n << " estimates";
    }
}

TEST(PulseTrain, EveryStepGivesTheListOfAllEstimates) {
    for (const PulseListCase& c : std::vector<PulseListCase>{
             {"documented", {0.5, 0.5, 0.5}, {1.0, 2.0, 2.1}, {}, {}},
             {"fill", {0.5, 0.4}, {0.0, 2.0}, {}, {}},
             {"chain", {1, 1, 1, 1}, {0, 0.4, 0.8, 1.2}, {}, {}},
             {"after_skip", {1, 1, 1}, {0, 0.4, 1.0}, {}, {}},
             {"repeats", {0.5, 0.5, 0.5, 0.5}, {1.0, 1.0, 1.5, 2.5}, {}, {}},
             {"zero_period", {0.0, 0.5}, {1.0, 3.0}, {}, {}}})
        expectSameAsWholeList(c.periods, c.phases, c.name);

    // Tracker-like estimates: half-second steps, drifting periods, phases
    // that jump, go back, repeat, and periods that are not positive.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int run = 0; run < 20; ++run) {
        std::vector<double> periods, phases;
        double t = 0.0;
        for (int step = 0; step < 400; ++step) {
            const double period = unit(random) < 0.03 ? 0.0 : 0.25 + unit(random) * 1.5;
            t += 0.5;
            const double jitter = unit(random) < 0.1 ? -1.0 * unit(random) : unit(random) * 0.6;
            periods.push_back(period);
            phases.push_back(t + jitter);
        }
        expectSameAsWholeList(periods, phases, "random run " + std::to_string(run));
    }
}

TEST(PulseTrain, DroppedPulsesLeaveTheTailOfTheWholeList) {
    std::vector<double> periods, phases;
    for (int step = 0; step < 2000; ++step) {
        periods.push_back(0.5 + 0.01 * (step % 7));
        phases.push_back(0.5 * step + 0.05 * (step % 3));
    }
    std::vector<double> whole;
    meterPerPha2Pulse(periods, phases, whole);
    PulseTrain train;
    for (std::size_t i = 0; i < phases.size(); ++i) {
        train.add(periods[i], phases[i]);
        train.dropBefore(phases[i] - 20.0);
    }
    ASSERT_GT(train.dropped(), 0u);
    EXPECT_LT(train.pulses().size(), 200u) << "about 20 s of pulses kept";
    ASSERT_EQ(train.dropped() + train.pulses().size(), whole.size());
    for (std::size_t k = 0; k < train.pulses().size(); ++k)
        EXPECT_EQ(train.pulses()[k], whole[train.dropped() + k]) << k;
}

// -------------------------------------------------------- nearest resonator

TEST(NearestResonator, HalfSecondBeatUsesDelay86) {
    const Params params(44100);
    const unsigned k = nearestResonator(0.5, params.accentRate, params.delays);
    EXPECT_EQ(k, 85u);
    EXPECT_EQ(params.delays[k], 86u);
}

TEST(NearestResonator, Cases) {
    const Params params(44100);
    const double fs = params.accentRate;
    EXPECT_EQ(nearestResonator(10.5 / fs, fs, params.delays), 9u);  // a tie: the lower delay
    EXPECT_EQ(nearestResonator(10.51 / fs, fs, params.delays), 10u);
    EXPECT_EQ(nearestResonator(0.0, fs, params.delays), 0u);
    EXPECT_EQ(nearestResonator(7.0, fs, params.delays), 688u);  // beyond the longest delay
    EXPECT_EQ(nearestResonator(2.0, fs, params.delays), 344u);  // 344.53 -> delay 345
    EXPECT_EQ(nearestResonator(std::numeric_limits<double>::quiet_NaN(), fs, params.delays), 0u);
}

// --------------------------------------------------------------- the stage

// Four channels of resonator delay lines (delays 1 .. N, rows of N values).
struct PhaseRig {
    Params params{44100};
    unsigned channels = 4;
    std::vector<std::vector<double>> states;
    std::vector<const double*> statePointers;
    Matrix<double> levelDelays{2, 2};
    PhaseTable history, scores;
    Matrix<double> observations{15, 2};
    PhaseModel model;

    PhaseRig() {
        const unsigned N = params.numDelays;
        states.assign(channels, std::vector<double>(static_cast<std::size_t>(N) * N, 0.0));
        for (const auto& s : states) statePointers.push_back(s.data());
        history.assign(2, std::vector<std::vector<double>>(15, std::vector<double>(2, 0.0)));
    }
    void clearStates() {
        for (auto& s : states) std::fill(s.begin(), s.end(), 0.0);
    }
    void set(unsigned channel, unsigned resonator, unsigned position, double value) {
        states[channel][static_cast<std::size_t>(resonator) * params.numDelays + position] = value;
    }
    PhaseChoice step(unsigned index, double beat, double bar, unsigned lastFrame) {
        return model.step(index, beat, bar, lastFrame, statePointers, params.numDelays, params,
                          levelDelays, history, scores, observations);
    }
    // Time of position p of a delay line of length tau at the step ending at frame n.
    double timeOf(unsigned n, unsigned tau, unsigned p) const {
        const double fs = params.accentRate;
        return (static_cast<double>(n) + 1 - tau + 1 + p) / fs + 0.5 / fs;
    }
};

TEST(PhaseStage, FirstStepPlacesBeatAndBarAtTheirStrongestPositions) {
    PhaseRig rig;
    // Beat (0.5 s -> delay 86): channel 0 (weight 5) at 30 beats channel 1 (weight 4) at 60.
    rig.set(0, 85, 30, 1.0);
    rig.set(1, 85, 60, 1.0);
    // Bar (2.0 s -> delay 345): a low-channel spike at 100.
    rig.set(0, 344, 100, 1.0);
    const PhaseChoice c = rig.step(0, 0.5, 2.0, 85);

    EXPECT_DOUBLE_EQ(c.beat, rig.timeOf(85, 86, 30));
    EXPECT_EQ(c.tatum, c.beat);
    EXPECT_DOUBLE_EQ(c.bar, rig.timeOf(85, 345, 100));  // before frame 0: negative
    EXPECT_LT(c.bar, 0.0);

    EXPECT_EQ(rig.levelDelays[1][0], 86.0);
    EXPECT_EQ(rig.levelDelays[1][1], 345.0);
    EXPECT_EQ(rig.levelDelays[0][0], 0.0);

    // Two beat peaks; the missing ones repeat the last.
    EXPECT_DOUBLE_EQ(rig.observations[0][0], std::log(5.0));
    EXPECT_DOUBLE_EQ(rig.observations[1][0], std::log(4.0));
    EXPECT_DOUBLE_EQ(rig.observations[14][0], std::log(4.0));
    EXPECT_DOUBLE_EQ(rig.history[1][0][0], rig.timeOf(85, 86, 30));
    EXPECT_DOUBLE_EQ(rig.history[1][14][0], rig.timeOf(85, 86, 60));
    // Step 0 scores are the observations.
    ASSERT_EQ(rig.scores.size(), 2u);
    for (unsigned l = 0; l < 15; ++l)
        for (unsigned L = 0; L < 2; ++L) {
            EXPECT_EQ(rig.scores[1][l][L], rig.observations[l][L]);
            EXPECT_EQ(rig.scores[0][l][L], 0.0);
        }
}

TEST(PhaseStage, TransitionsKeepAPhaseThatAdvancesByWholePeriods) {
    PhaseRig rig;
    rig.set(0, 85, 30, 1.0);
    rig.set(0, 344, 100, 1.0);
    const PhaseChoice first = rig.step(0, 0.5, 2.0, 85);

    // One step later, position 30 is one whole period after the first beat
    // (frames 117.5 - 31.5 = 86) but a little weaker than position 70.
    rig.clearStates();
    rig.set(0, 85, 30, 0.8);  // score 4
    rig.set(0, 85, 70, 1.0);  // score 5
    rig.set(0, 344, 100, 1.0);
    const auto previousScores = rig.scores[1];
    const PhaseChoice second = rig.step(1, 0.5, 2.0, 171);
    EXPECT_DOUBLE_EQ(second.beat, rig.timeOf(171, 86, 30));
    EXPECT_NEAR(second.beat - first.beat, 86 / rig.params.accentRate, 1e-12);
    EXPECT_EQ(rig.scores[0], previousScores);
    EXPECT_EQ(rig.levelDelays[0][0], 86.0);

    // The observations alone would pick position 70.
    PhaseRig alone;
    alone.set(0, 85, 30, 0.8);
    alone.set(0, 85, 70, 1.0);
    EXPECT_DOUBLE_EQ(alone.step(0, 0.5, 2.0, 171).beat, alone.timeOf(171, 86, 70));
}

TEST(PhaseStage, WithoutPeaksOnlyTheFirstCandidateIsRenewed) {
    PhaseRig rig;
    rig.set(0, 85, 30, 1.0);
    rig.set(1, 85, 60, 1.0);
    rig.set(0, 344, 100, 1.0);
    rig.step(0, 0.5, 2.0, 85);
    const PhaseTable historyBefore = rig.history;
    const Matrix<double> observationsBefore = rig.observations;

    rig.clearStates();  // flat scores: no peak for either level
    rig.step(1, 0.5, 2.0, 171);
    // The middle of the period is the single candidate.
    EXPECT_DOUBLE_EQ(rig.history[1][0][0], rig.timeOf(171, 86, 43));
    EXPECT_DOUBLE_EQ(rig.history[1][0][1], rig.timeOf(171, 345, 173));  // ceil(172.5)
    EXPECT_DOUBLE_EQ(rig.observations[0][0], std::log(1e-60));
    for (unsigned l = 1; l < 15; ++l)
        for (unsigned L = 0; L < 2; ++L) {
            EXPECT_EQ(rig.history[1][l][L], historyBefore[1][l][L]) << l;
            EXPECT_EQ(rig.observations[l][L], observationsBefore[l][L]) << l;
        }
    for (unsigned l = 0; l < 15; ++l)
        for (unsigned L = 0; L < 2; ++L) EXPECT_EQ(rig.history[0][l][L], historyBefore[1][l][L]);
}

TEST(PhaseStage, ExtremePeriodsStayInsideTheDelayLines) {
    // The shortest delay (a one-sample line) and periods beyond the longest.
    PhaseRig rig;
    rig.set(2, 0, 0, 3.0);
    rig.set(0, 688, 5, 1.0);
    const PhaseChoice c = rig.step(0, 0.001, 7.0, 85);
    EXPECT_DOUBLE_EQ(c.beat, rig.timeOf(85, 1, 0));
    EXPECT_DOUBLE_EQ(c.bar, rig.timeOf(85, 689, 5));
    rig.step(1, 0.001, 7.0, 171);
}

TEST(PhaseStage, StepZeroRebuildsStaleScores) {
    PhaseRig rig;
    rig.scores.assign(3, {});  // whatever an earlier run left
    rig.set(0, 85, 30, 1.0);
    rig.step(0, 0.5, 2.0, 85);
    ASSERT_EQ(rig.scores.size(), 2u);
    ASSERT_EQ(rig.scores[0].size(), 15u);
    EXPECT_EQ(rig.scores[0][3], (std::vector<double>{0.0, 0.0}));
}

}  // namespace
