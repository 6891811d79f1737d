// The period stage of the analysis step: the joint transition matrix against
// the literal Kronecker construction, a whole sequence of steps against a
// numpy/scipy re-implementation, the choices on synthetic pulse-train
// resonance, and the zero-period handling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "Matrix.h"
#include "kron.h"
#include "oracle_data.h"
#include "params.h"
#include "periodModel.h"

using NumaMathLibrary::Matrix;
using namespace meterTracker;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

PeriodHistory emptyHistory(unsigned candidates) {
    return PeriodHistory(2, std::vector<std::vector<double>>(candidates, std::vector<double>(3)));
}

Matrix<double> ones(unsigned rows, unsigned cols) {
    Matrix<double> m(rows, cols);
    m += 1.0;
    return m;
}

// The transition matrix exactly as the model defines it: the previous
// scores as a column, plus three Kronecker products, added in this order.
Matrix<double> literalTransitions(const std::vector<double>& scores, const Matrix<double>& tb,
                                  const Matrix<double>& tm, const Matrix<double>& tt) {
    const unsigned C = tb.nRows();
    const unsigned S = C * C * C;
    Matrix<double> t(S, S);
    for (unsigned r = 0; r < S; ++r)
        for (unsigned c = 0; c < S; ++c) t[r][c] = scores[r];
    Matrix<double> beatPart, barInner, barPart, tatumPart;
    kron(ones(C * C, C * C), tb, beatPart);
    kron(ones(C, C), tm, barInner);
    kron(barInner, ones(C, C), barPart);
    kron(tt, ones(C * C, C * C), tatumPart);
    t += beatPart;
    t += barPart;
    t += tatumPart;
    return t;
}

Matrix<double> randomMatrix(std::mt19937& rng, unsigned n, double scale) {
    std::uniform_real_distribution<double> dist(-scale, 0.0);
    Matrix<double> m(n, n);
    for (unsigned i = 0; i < n; ++i)
        for (unsigned j = 0; j < n; ++j) m[i][j] = dist(rng);
    return m;
}

TEST(JointTransitions, EqualTheLiteralKroneckerConstruction) {
    std::mt19937 rng(99);
    for (unsigned C : {5u, 3u, 1u}) {
        for (int trial = 0; trial < 5; ++trial) {
            const unsigned S = C * C * C;
            std::uniform_real_distribution<double> scoreDist(-1e5, 0.0);
            std::vector<double> scores(S);
            for (double& s : scores) s = scoreDist(rng);  // large: addition order shows
            Matrix<double> tb = randomMatrix(rng, C, 80.0), tm = randomMatrix(rng, C, 1e-3),
                           tt = randomMatrix(rng, C, 7.0);
            if (trial == 4) {  // zero periods give minus infinity
                tb[0][C - 1] = -kInf;
                tt[C - 1][0] = -kInf;
            }
            Matrix<double> fast(1, 1);
            buildJointTransitions(scores.data(), tb, tm, tt, fast);
            const Matrix<double> literal = literalTransitions(scores, tb, tm, tt);
            ASSERT_EQ(fast.nRows(), S);
            ASSERT_EQ(fast.nCols(), S);
            EXPECT_TRUE(fast == literal) << "C=" << C << " trial " << trial;
        }
    }
}

TEST(JointTransitions, StateNumberingPutsBeatFastest) {
    // Only the beat matrix is nonzero: the term depends on r mod 5 and c mod 5.
    const unsigned C = 5;
    Matrix<double> tb(C, C), zero(C, C);
    for (unsigned i = 0; i < C; ++i)
        for (unsigned j = 0; j < C; ++j) tb[i][j] = 10.0 * i + j;
    std::vector<double> scores(125, 0.0);
    Matrix<double> out;
    buildJointTransitions(scores.data(), tb, zero, zero, out);
    EXPECT_EQ(out[7][13], 23.0);   // beat 2 -> beat 3
    EXPECT_EQ(out[124][0], 40.0);  // beat 4 -> beat 0
    buildJointTransitions(scores.data(), zero, zero, tb, out);
    EXPECT_EQ(out[7][13], 0.0);     // tatum 0 -> tatum 0
    EXPECT_EQ(out[124][30], 41.0);  // tatum 4 -> tatum 1
}

// ---------------------------------------------- whole stage against numpy

void expectClose(const std::vector<double>& got, const std::vector<double>& want, double rel,
                 const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_NEAR(got[i], want[i], rel * std::max(1.0, std::fabs(want[i])))
            << what << " at " << i;
}

TEST(PeriodStage, SequenceMatchesNumpyReimplementation) {
    const auto data = oracle::read("period_stage.txt");
    ASSERT_EQ(data.size() % 9, 0u);
    const Params params(44100);
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    for (unsigned t = 0; t < data.size() / 9; ++t) {
        const auto* a = &data[9 * t];
        const PeriodChoice choice = model.step(t, a[0], a[1], params, history, scores);
        const std::string step = "step " + std::to_string(t);
        // Saliences relative to their scale (about 1e-3 to 1e-2).
        expectClose(model.tatumSalience(), a[2], 1e-12, step + " tatum salience");
        expectClose(model.beatSalience(), a[3], 1e-12, step + " beat salience");
        expectClose(model.barSalience(), a[4], 1e-12, step + " bar salience");
        EXPECT_NEAR(choice.beatyness, a[5][0], 1e-14) << step;
        expectClose(model.jointObservation(), a[6], 1e-11, step + " observation");
        EXPECT_DOUBLE_EQ(choice.beat, a[7][0]) << step;
        EXPECT_DOUBLE_EQ(choice.bar, a[7][1]) << step;
        EXPECT_DOUBLE_EQ(choice.tatum, a[7][2]) << step;
        ASSERT_EQ(scores.nRows(), 2u);
        ASSERT_EQ(scores.nCols(), 125u);
        expectClose(std::vector<double>(scores[1], scores[1] + 125), a[8], 1e-11,
                    step + " joint scores");
    }
}

// ------------------------------------------- synthetic pulse-train resonance

// Resonance of a pulse train with the given beat period: bumps at every
// multiple of the beat lag, the bar's multiples stronger; optionally weaker
// bumps half way between beats (a tatum of half the beat).
std::vector<double> pulseTrainResonance(const Params& params, double beatSeconds,
                                        unsigned beatsPerBar, double halfBeatHeight) {
    const double beatLag = beatSeconds * params.accentRate;
    std::vector<double> v(params.numDelays, 0.0);
    for (unsigned i = 0; i < params.numDelays; ++i) {
        const double lag = params.delays[i];
        for (unsigned m = 1; m * beatLag * 0.5 <= params.numDelays + 4; ++m) {
            const double height = (m % 2) ? halfBeatHeight : ((m / 2) % beatsPerBar ? 1.0 : 1.6);
            const double z = (lag - m * 0.5 * beatLag) / 1.5;
            v[i] += 0.01 * height * std::exp(-0.5 * z * z);
        }
    }
    return v;
}

// The driver's bias for the step whose last frame is n.
std::vector<double> biasAt(const Params& params, unsigned n) {
    std::vector<double> u(params.numDelays);
    for (unsigned i = 0; i < params.numDelays; ++i) {
        const double g = params.feedbackGains[i];
        const double cycles = std::ceil((n + 1.0) / params.delays[i]);
        const double decayed = std::pow(g, cycles);
        u[i] = (1.0 - decayed * decayed) * params.gainNorms[i].real();
    }
    return u;
}

struct PulseCase {
    double beatSeconds;
    unsigned beatsPerBar;
    double halfBeatHeight;
};

void PrintTo(const PulseCase& c, std::ostream* os) {
    *os << "beat " << c.beatSeconds << " s, " << c.beatsPerBar << " beats per bar, half-beat "
        << c.halfBeatHeight;
}

void expectPeriodsFitTheTrain(const PeriodChoice& c, const PulseCase& pc, const Params& params,
                              const std::string& at) {
    EXPECT_LE(std::fabs(c.beat - pc.beatSeconds), 1.0 / params.accentRate) << at;
    const double barRatio = c.bar / c.beat;
    EXPECT_GE(barRatio, 1.9) << at;
    EXPECT_NEAR(barRatio, std::round(barRatio), 0.03) << at << " bar " << c.bar;
    const double tatumRatio = c.beat / c.tatum;
    EXPECT_GE(tatumRatio, 0.95) << at;
    EXPECT_NEAR(tatumRatio, std::round(tatumRatio), 0.1) << at << " tatum " << c.tatum;
    EXPECT_GT(c.beatyness, 0.0) << at;
}

class PulseTrain : public ::testing::TestWithParam<PulseCase> {};

TEST_P(PulseTrain, BeatBarAndTatumFitTheTrainWhileTheBiasSettles) {
    // The bias of the first steps after a reset changes from step to step.
    const PulseCase& pc = GetParam();
    const Params params(44100);
    const std::vector<double> v =
        pulseTrainResonance(params, pc.beatSeconds, pc.beatsPerBar, pc.halfBeatHeight);
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    for (unsigned t = 0; t < 20; ++t) {
        const PeriodChoice c =
            model.step(t, v, biasAt(params, 86 * t + 85), params, history, scores);
        expectPeriodsFitTheTrain(c, pc, params, "step " + std::to_string(t));
    }
}

TEST_P(PulseTrain, IdenticalObservationsKeepTheChoice) {
    const PulseCase& pc = GetParam();
    const Params params(44100);
    const std::vector<double> v =
        pulseTrainResonance(params, pc.beatSeconds, pc.beatsPerBar, pc.halfBeatHeight);
    const std::vector<double> u = biasAt(params, 86 * 60 + 85);  // settled
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    const PeriodChoice first = model.step(0, v, u, params, history, scores);
    expectPeriodsFitTheTrain(first, pc, params, "step 0");
    for (unsigned t = 1; t < 30; ++t) {
        const PeriodChoice c = model.step(t, v, u, params, history, scores);
        EXPECT_EQ(c.beat, first.beat) << t;
        EXPECT_EQ(c.bar, first.bar) << t;
        EXPECT_EQ(c.tatum, first.tatum) << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Trains, PulseTrain,
                         ::testing::Values(PulseCase{0.5, 4, 0.0}, PulseCase{0.5, 3, 0.0},
                                           PulseCase{0.5, 2, 0.0}, PulseCase{0.5, 4, 0.45},
                                           PulseCase{0.5, 3, 0.45}, PulseCase{0.5, 4, 0.8}));

TEST(PeriodStage, IdenticalObservationsKeepTheFirstChoiceAndScoresOnlyGrowByObservation) {
    // With the same candidates every step the transition terms on the
    // diagonal are 0, so the best state's score grows by its observation.
    const Params params(44100);
    const std::vector<double> v = pulseTrainResonance(params, 0.5, 4, 0.3);
    const std::vector<double> u = biasAt(params, 10000);
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    model.step(0, v, u, params, history, scores);
    const std::vector<double> obs = model.jointObservation();
    std::size_t best = 0;
    for (std::size_t s = 1; s < obs.size(); ++s)
        if (obs[s] > obs[best]) best = s;
    for (unsigned t = 1; t < 6; ++t) {
        const double before = scores[1][best];
        model.step(t, v, u, params, history, scores);
        EXPECT_EQ(scores[0][best], before);
        EXPECT_NEAR(scores[1][best], before + obs[best], 1e-9 * std::fabs(before + obs[best]));
    }
}

// ------------------------------------------------------------ zero periods

TEST(PeriodStage, ZeroInputReportsEveryLevelAndSubstitutesSevenSeconds) {
    const Params params(44100);
    const std::vector<double> zeros(params.numDelays, 0.0);
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);

    testing::internal::CaptureStderr();
    const PeriodChoice c = model.step(0, zeros, zeros, params, history, scores);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed,
              "ERROR: Period estimate for beat zero.\n"
              "ERROR: Period estimate for pattern zero.\n"
              "ERROR: Period estimate for tatum zero.\n");
    EXPECT_EQ(c.beat, 7.0);
    EXPECT_EQ(c.bar, 7.0);
    EXPECT_EQ(c.tatum, 7.0);
    EXPECT_EQ(c.beatyness, 0.0);
    for (const auto& cand :
         {model.beatCandidates(), model.barCandidates(), model.tatumCandidates()})
        for (unsigned i = 0; i < 5; ++i) {
            EXPECT_EQ(cand.periods[i], 0.0);
            EXPECT_EQ(cand.saliences[i], 0.0);
        }
    // The chosen entries (state 0: candidate 0 of each level) became 7.0.
    EXPECT_EQ(history[1][0], (std::vector<double>{7.0, 7.0, 7.0}));
    EXPECT_EQ(history[1][1], (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(PeriodStage, MissingPeaksRepeatThePreviousCandidate) {
    // A resonance curve with a single peak: beat and bar have one candidate,
    // repeated in every slot, so it is chosen whatever the scores say.
    const Params params(44100);
    std::vector<double> v(params.numDelays, 0.0);
    v[85] = 0.01;
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    testing::internal::CaptureStderr();
    const PeriodChoice c = model.step(0, v, biasAt(params, 85), params, history, scores);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed.find("beat zero"), std::string::npos);
    EXPECT_EQ(printed.find("pattern zero"), std::string::npos);
    EXPECT_DOUBLE_EQ(c.beat, 86 / params.accentRate);
    EXPECT_DOUBLE_EQ(c.bar, 86 / params.accentRate);
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_EQ(model.beatCandidates().periods[i], 86 / params.accentRate);
        EXPECT_EQ(model.barCandidates().saliences[i], model.barSalience()[85]);
        EXPECT_EQ(history[1][i][0], 86 / params.accentRate);
    }
}

TEST(PeriodStage, ScoresRecoverAfterSilence) {
    // Two silent steps leave scores that are not numbers; once music starts
    // the recursion restarts from the observation, and from then on the
    // stage decides exactly as one that never heard the silence.
    const Params params(44100);
    const std::vector<double> zeros(params.numDelays, 0.0);
    std::vector<std::vector<double>> music;
    for (double beat : {0.5, 0.5, 0.49, 0.45, 0.45})
        music.push_back(pulseTrainResonance(params, beat, 4, 0.3));

    PeriodModel afterSilence, fresh;
    PeriodHistory h1 = emptyHistory(5), h2 = emptyHistory(5);
    Matrix<double> s1(1, 1), s2(1, 1);
    testing::internal::CaptureStderr();
    afterSilence.step(0, zeros, zeros, params, h1, s1);
    afterSilence.step(1, zeros, zeros, params, h1, s1);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("pattern zero"), std::string::npos);

    for (unsigned k = 0; k < music.size(); ++k) {
        const std::vector<double> u = biasAt(params, 86 * (k + 2) + 85);
        const PeriodChoice a = afterSilence.step(k + 2, music[k], u, params, h1, s1);
        const PeriodChoice b = fresh.step(k, music[k], u, params, h2, s2);
        EXPECT_EQ(a.beat, b.beat) << k;
        EXPECT_EQ(a.bar, b.bar) << k;
        EXPECT_EQ(a.tatum, b.tatum) << k;
        for (unsigned s = 0; s < 125; ++s) {
            ASSERT_TRUE(std::isfinite(s1[1][s])) << k << " " << s;
            ASSERT_EQ(s1[1][s], s2[1][s]) << k << " " << s;
        }
    }
}

TEST(PeriodStage, NotANumberNeverWins) {
    // A NaN at the strongest lag: neither it nor its neighbours can be
    // peaks, and no NaN score is ever chosen.
    const Params params(44100);
    std::vector<double> v = pulseTrainResonance(params, 0.5, 4, 0.0);
    v[343] = std::numeric_limits<double>::quiet_NaN();
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(1, 1);
    for (unsigned t = 0; t < 3; ++t) {
        const PeriodChoice c =
            model.step(t, v, biasAt(params, 86 * t + 85), params, history, scores);
        EXPECT_TRUE(std::isfinite(c.beat) && c.beat > 0.0);
        EXPECT_TRUE(std::isfinite(c.bar) && c.bar > 0.0);
        EXPECT_TRUE(std::isfinite(c.tatum) && c.tatum > 0.0);
        EXPECT_NE(c.bar, 344 / params.accentRate);
        EXPECT_NE(c.bar, 343 / params.accentRate);
        EXPECT_NE(c.bar, 345 / params.accentRate);
    }
}

TEST(PeriodStage, ANotANumberScoreActsAsMinusInfinity) {
    // A NaN among the previous scores never becomes a state's best
    // predecessor, wherever it stands in the scan.
    const Params params(44100);
    const std::vector<double> v0 = pulseTrainResonance(params, 0.5, 4, 0.3);
    const std::vector<double> v1 = pulseTrainResonance(params, 0.49, 3, 0.2);
    const std::vector<double> u = biasAt(params, 4000);
    for (unsigned poisoned : {0u, 61u, 124u}) {
        PeriodModel withNan, withMinusInf;
        PeriodHistory h1 = emptyHistory(5), h2 = emptyHistory(5);
        Matrix<double> s1(1, 1), s2(1, 1);
        withNan.step(0, v0, u, params, h1, s1);
        withMinusInf.step(0, v0, u, params, h2, s2);
        s1[1][poisoned] = std::numeric_limits<double>::quiet_NaN();
        s2[1][poisoned] = -kInf;
        const PeriodChoice a = withNan.step(1, v1, u, params, h1, s1);
        const PeriodChoice b = withMinusInf.step(1, v1, u, params, h2, s2);
        EXPECT_EQ(a.beat, b.beat);
        EXPECT_EQ(a.bar, b.bar);
        EXPECT_EQ(a.tatum, b.tatum);
        for (unsigned s = 0; s < 125; ++s) ASSERT_EQ(s1[1][s], s2[1][s]) << poisoned << " " << s;
    }
}

TEST(PeriodStage, SaliencesFollowChangedPriorMedians) {
    // The engine changes the three medians at run time; the next step must
    // use them (the priors are kept between steps while nothing changes).
    const Params params(44100);
    Params changed(params);
    changed.beatMyy = 0.4;
    changed.barMyy = 1.5;
    changed.tatumMyy = 0.3;
    const std::vector<double> v = pulseTrainResonance(params, 0.5, 4, 0.3);
    const std::vector<double> u = biasAt(params, 4000);

    PeriodModel reused, fresh;
    PeriodHistory h1 = emptyHistory(5), h2 = emptyHistory(5);
    Matrix<double> s1(1, 1), s2(1, 1);
    reused.step(0, v, u, params, h1, s1);
    reused.step(1, v, u, changed, h1, s1);
    fresh.step(0, v, u, changed, h2, s2);
    EXPECT_EQ(reused.beatSalience(), fresh.beatSalience());
    EXPECT_EQ(reused.barSalience(), fresh.barSalience());
    EXPECT_EQ(reused.tatumSalience(), fresh.tatumSalience());
    EXPECT_EQ(reused.jointObservation(), fresh.jointObservation());
}

TEST(PeriodStage, StepZeroRestartsFromTheObservation) {
    const Params params(44100);
    const std::vector<double> v = pulseTrainResonance(params, 0.5, 3, 0.2);
    const std::vector<double> u = biasAt(params, 85);
    PeriodModel model;
    PeriodHistory history = emptyHistory(5);
    Matrix<double> scores(2, 125);
    scores += -1e9;  // stale scores of an earlier run
    model.step(0, v, u, params, history, scores);
    for (unsigned s = 0; s < 125; ++s) {
        EXPECT_EQ(scores[0][s], 0.0);
        EXPECT_EQ(scores[1][s], model.jointObservation()[s]);
    }
}

}  // namespace
