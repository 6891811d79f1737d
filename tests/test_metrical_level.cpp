// The metrical-level stage on synthetic band envelopes with known meters: a
// compound pattern read on the quarter note is regrouped into dotted beats on
// the right eighth, binary patterns (a fast backbeat read at half tempo, a
// slow piece read at double tempo) keep the classic beat, and a regrouping
// ends when the music turns binary.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Matrix.h"
#include "metricalLevel.h"
#include "params.h"

using NumaMathLibrary::Matrix;
using namespace meterTracker;

namespace {

const unsigned kBands = 36;
const unsigned kStepHop = 86;  // accent frames per analysis step at 44.1 kHz

struct Onset {
    double time;       // seconds
    double strength;   // peak of the envelope
    unsigned lowBand;  // bands lowBand .. highBand carry it
    unsigned highBand;
};

// Band envelopes of a list of onsets: each one a pulse that decays over
// about 30 ms in its bands, over a small constant floor.
Matrix<double> envelopesOf(const std::vector<Onset>& onsets, double seconds, double rate) {
    const unsigned frames = static_cast<unsigned>(seconds * rate);
    Matrix<double> env(kBands, frames);
    env.resize(kBands, frames, 0.01);
    for (const Onset& o : onsets) {
        const long start = std::lround(o.time * rate);
        for (long f = start; f < start + 8 && f < static_cast<long>(frames); ++f) {
            if (f < 0) continue;
            const double v = o.strength * std::exp(-(f - start) / 3.0);
            for (unsigned b = o.lowBand; b <= o.highBand; ++b) env[b][f] += v;
        }
    }
    return env;
}

// Adds a bar pattern repeated over the piece: positions in units of `unit`
// seconds, cycle of `cycle` units.
void addPattern(std::vector<Onset>& out, double seconds, double unit, unsigned cycle,
                const std::vector<std::pair<unsigned, double> >& hits, unsigned lowBand,
                unsigned highBand, double start = 0.2) {
    for (double bar = start; bar < seconds; bar += unit * cycle)
        for (const auto& h : hits)
            out.push_back({bar + h.first * unit, h.second, lowBand, highBand});
}

// The classic model as a fixed grid: period `period`, beats at first + k period.
struct ClassicGrid {
    double period;
    double first;
};

struct StageRun {
    std::vector<LevelChoice> choices;
    std::vector<double> classicPhases;
};

StageRun runStage(const Matrix<double>& env, const ClassicGrid& grid, double rate,
                  MetricalLevel& stage) {
    StageRun run;
    const unsigned steps = env.nCols() / kStepHop;
    for (unsigned s = 0; s < steps; ++s) {
        const unsigned lastFrame = s * kStepHop + kStepHop - 1;
        const double now = (lastFrame + 1.0) / rate;
        const double phase =
            grid.first + std::floor((now - 0.1 - grid.first) / grid.period) * grid.period;
        PeriodChoice periods{grid.period, 4.0 * grid.period, 0.5 * grid.period, 1.0};
        PhaseChoice phases{phase, phase, phase};
        run.choices.push_back(stage.step(periods, phases, env, s * kStepHop, kStepHop, lastFrame));
        run.classicPhases.push_back(phase);
    }
    return run;
}

// Distance of t from the nearest point of the grid first + k period, seconds.
double offGrid(double t, double first, double period) {
    const double x = (t - first) / period;
    return std::fabs(x - std::round(x)) * period;
}

class MetricalLevelTest : public ::testing::Test {
  protected:
    void SetUp() override { stage.configure(params); }
    Params params{44100};
    MetricalLevel stage;
};

// ------------------------------------------------------------ compound meter

// 6/8 at 57 dotted-quarter beats per minute (eighth 0.35 s): accents on the
// first and fourth eighth, lighter eighths between. The classic grid sits on
// every second eighth, starting on any of them.
struct CompoundCase {
    const char* name;
    unsigned classicStartEighth;  // 0 .. 5, eighth of the cycle the classic grid starts on
};

class CompoundMeter : public MetricalLevelTest,
                      public ::testing::WithParamInterface<CompoundCase> {};

TEST_P(CompoundMeter, RegroupsIntoDottedBeatsOnTheAccentedEighths) {
    const double eighth = 0.35, seconds = 40.0, start = 0.2;
    std::vector<Onset> onsets;
    addPattern(onsets, seconds, eighth, 6, {{0, 1.0}, {3, 0.9}}, 0, 35, start);
    addPattern(onsets, seconds, eighth, 6, {{1, 0.3}, {2, 0.3}, {4, 0.3}, {5, 0.3}}, 20, 35, start);
    const Matrix<double> env = envelopesOf(onsets, seconds, params.accentRate);
    const ClassicGrid grid{2 * eighth, start + GetParam().classicStartEighth * eighth};
    const StageRun run = runStage(env, grid, params.accentRate, stage);

    const LevelChoice& last = run.choices.back();
    ASSERT_TRUE(last.ternary);
    EXPECT_DOUBLE_EQ(last.beatMultiplier, 1.5);
    EXPECT_NEAR(last.beatPeriod, 3 * eighth, 1e-12);
    EXPECT_NEAR(last.tatumPeriod, eighth, 1e-12);
    EXPECT_NEAR(std::fmod(last.barPeriod / last.beatPeriod, 1.0), 0.0, 1e-9);
    EXPECT_GT(last.grouping, MetricalLevel::kGroupingEnter);
    // The dotted beats fall on the accented eighths.
    EXPECT_LT(offGrid(last.beatPhase, start, 3 * eighth), 1e-9);

    // Once regrouped the phase stays on the same grid step after step, and
    // it is never later than the classic beat it was derived from.
    unsigned regrouped = 0;
    for (size_t s = 0; s < run.choices.size(); ++s) {
        const LevelChoice& c = run.choices[s];
        if (!c.ternary) continue;
        ++regrouped;
        EXPECT_LT(offGrid(c.beatPhase, start, 3 * eighth), 1e-9) << "step " << s;
        EXPECT_LE(c.beatPhase, run.classicPhases[s] + 1e-12);
        EXPECT_GT(c.beatPhase, run.classicPhases[s] - c.beatPeriod);
    }
    // Regrouped well before the end, and for good once regrouped.
    EXPECT_GT(regrouped, run.choices.size() / 2);
    size_t firstTernary = 0;
    while (!run.choices[firstTernary].ternary) ++firstTernary;
    for (size_t s = firstTernary; s < run.choices.size(); ++s)
        EXPECT_TRUE(run.choices[s].ternary) << "step " << s;
}

INSTANTIATE_TEST_SUITE_P(ClassicStarts, CompoundMeter,
                         ::testing::Values(CompoundCase{"OnTheFirstEighth", 0},
                                           CompoundCase{"OnTheThirdEighth", 2},
                                           CompoundCase{"OnTheFifthEighth", 4},
                                           CompoundCase{"OnTheSecondEighth", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ binary meters

struct BinaryCase {
    const char* name;
    double beat;           // seconds, the annotated beat
    double classicPeriod;  // seconds, what the classic model reads
};

class BinaryMeter : public MetricalLevelTest, public ::testing::WithParamInterface<BinaryCase> {};

// A rock pattern: kick on beats 1 and 3 (low bands), snare on 2 and 4 (middle
// bands), hi-hat on every eighth (high bands). Read at half tempo (a fast
// piece) or at double tempo (a slow one), the stage leaves the classic beat
// as it is.
TEST_P(BinaryMeter, KeepsTheClassicBeat) {
    const double beat = GetParam().beat, seconds = 40.0, start = 0.3;
    std::vector<Onset> onsets;
    addPattern(onsets, seconds, beat, 4, {{0, 1.0}, {2, 0.9}}, 0, 3, start);
    addPattern(onsets, seconds, beat, 4, {{1, 1.0}, {3, 1.0}}, 8, 24, start);
    addPattern(onsets, seconds, 0.5 * beat, 8,
               {{0, 0.4}, {1, 0.4}, {2, 0.4}, {3, 0.4}, {4, 0.4}, {5, 0.4}, {6, 0.4}, {7, 0.4}}, 26,
               35, start);
    const Matrix<double> env = envelopesOf(onsets, seconds, params.accentRate);
    const ClassicGrid grid{GetParam().classicPeriod, start};
    const StageRun run = runStage(env, grid, params.accentRate, stage);
    for (size_t s = 0; s < run.choices.size(); ++s) {
        const LevelChoice& c = run.choices[s];
        ASSERT_FALSE(c.ternary) << "step " << s;
        EXPECT_EQ(c.beatPeriod, grid.period);
        EXPECT_EQ(c.beatPhase, run.classicPhases[s]);
        EXPECT_EQ(c.beatMultiplier, 1.0);
        EXPECT_LT(c.grouping, MetricalLevel::kGroupingEnter);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Readings, BinaryMeter,
    ::testing::Values(BinaryCase{"FastBackbeatAtHalfTempo", 60.0 / 180, 120.0 / 180},
                      BinaryCase{"ModerateRockAsIs", 60.0 / 110, 60.0 / 110},
                      BinaryCase{"SlowPieceAtDoubleTempo", 60.0 / 56, 30.0 / 56}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------ changes of meter

// 24 s of 6/8 and then 24 s of straight eighths: regrouped during the first
// part, back on the classic beat soon after the change.
TEST_F(MetricalLevelTest, LeavesTheRegroupingWhenTheMusicTurnsBinary) {
    const double eighth = 0.35, half = 24.0, start = 0.2;
    std::vector<Onset> onsets;
    addPattern(onsets, half, eighth, 6, {{0, 1.0}, {3, 0.9}}, 0, 35, start);
    addPattern(onsets, half, eighth, 6, {{1, 0.3}, {2, 0.3}, {4, 0.3}, {5, 0.3}}, 20, 35, start);
    // The binary part goes on on the same eighth grid: accents every second eighth.
    const double resume = start + std::ceil((half - start) / (6 * eighth)) * 6 * eighth;
    addPattern(onsets, 2 * half, eighth, 2, {{0, 1.0}, {1, 0.3}}, 0, 35, resume);
    const Matrix<double> env = envelopesOf(onsets, 2 * half, params.accentRate);
    const StageRun run = runStage(env, ClassicGrid{2 * eighth, start}, params.accentRate, stage);

    const size_t changeStep = static_cast<size_t>(resume * params.accentRate / kStepHop);
    ASSERT_TRUE(run.choices[changeStep - 1].ternary);
    const size_t settle = 10 * 2;  // ten seconds of steps
    for (size_t s = changeStep + settle; s < run.choices.size(); ++s)
        EXPECT_FALSE(run.choices[s].ternary) << "step " << s;
}

// ------------------------------------------------------------ no music, reset

TEST_F(MetricalLevelTest, SilenceKeepsTheClassicBeat) {
    Matrix<double> env(kBands, 30 * 172);
    env.resize(kBands, 30 * 172, 0.0);
    const StageRun run = runStage(env, ClassicGrid{0.5, 0.1}, params.accentRate, stage);
    for (const LevelChoice& c : run.choices) {
        EXPECT_FALSE(c.ternary);
        EXPECT_EQ(c.beatPeriod, 0.5);
    }
}

TEST_F(MetricalLevelTest, ResetForgetsTheRegrouping) {
    const double eighth = 0.35, seconds = 30.0, start = 0.2;
    std::vector<Onset> onsets;
    addPattern(onsets, seconds, eighth, 6, {{0, 1.0}, {3, 0.9}}, 0, 35, start);
    const Matrix<double> env = envelopesOf(onsets, seconds, params.accentRate);
    ASSERT_TRUE(runStage(env, ClassicGrid{2 * eighth, start}, params.accentRate, stage)
                    .choices.back()
                    .ternary);
    stage.reset();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(stage.profile()[i], 0.0);
    // The first steps after a reset are the warm-up: the classic beat.
    const Matrix<double> shortEnv = envelopesOf(onsets, 3.0, params.accentRate);
    const StageRun again =
        runStage(shortEnv, ClassicGrid{2 * eighth, start}, params.accentRate, stage);
    for (const LevelChoice& c : again.choices) EXPECT_FALSE(c.ternary);
}

}  // namespace
