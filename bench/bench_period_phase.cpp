// Cost of the period and phase stages of one analysis step (half a second of
// audio), and of one step's whole model work at 44100 Hz: four resonator
// banks over 86 accent samples, the delay-line scan, the period stage (1024-
// point FFT, 125 x 125 transition matrix) and the phase stage.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "Matrix.h"
#include "kron.h"
#include "params.h"
#include "periodModel.h"
#include "phaseModel.h"
#include "resoC.h"

using NumaMathLibrary::Matrix;
using namespace meterTracker;

namespace {

// Resonance of a pulse train (beat lag, 4-beat bars) with some noise.
std::vector<double> resonance(const Params& params, double beatLag, std::mt19937& rng) {
    std::uniform_real_distribution<double> noise(0.0, 0.004);
    std::vector<double> v(params.numDelays);
    for (unsigned i = 0; i < params.numDelays; ++i) {
        double sum = 0.0;
        for (unsigned m = 1; m * beatLag <= params.numDelays + 4; ++m) {
            const double z = (params.delays[i] - m * beatLag) / 1.5;
            sum += (m % 4 ? 0.01 : 0.016) * std::exp(-0.5 * z * z);
        }
        v[i] = sum + noise(rng);
    }
    return v;
}

std::vector<double> settledBias(const Params& params) {
    std::vector<double> u(params.numDelays);
    for (unsigned i = 0; i < params.numDelays; ++i) {
        const double g = std::pow(params.feedbackGains[i], std::ceil(10000.0 / params.delays[i]));
        u[i] = (1.0 - g * g) * params.gainNorms[i].real();
    }
    return u;
}

PeriodHistory periodHistory(const Params& params) {
    return PeriodHistory(2, std::vector<std::vector<double>>(params.numPeriodCandidates,
                                                             std::vector<double>(3, 0.0)));
}

PhaseTable phaseTable(const Params& params) {
    return PhaseTable(2, std::vector<std::vector<double>>(params.numPhaseCandidates,
                                                          std::vector<double>(2, 0.0)));
}

void BM_PeriodStage(benchmark::State& state) {
    const Params params(44100);
    std::mt19937 rng(1);
    const std::vector<double> curves[2] = {resonance(params, 86.13, rng),
                                           resonance(params, 84.0, rng)};
    const std::vector<double> u = settledBias(params);
    PeriodModel model;
    PeriodHistory history = periodHistory(params);
    Matrix<double> scores(1, 1);
    unsigned step = 0;
    for (auto _ : state) {
        const PeriodChoice c = model.step(step, curves[step % 2], u, params, history, scores);
        benchmark::DoNotOptimize(c);
        ++step;
    }
}
BENCHMARK(BM_PeriodStage)->Unit(benchmark::kMicrosecond);

void BM_PhaseStage(benchmark::State& state) {
    const Params params(44100);
    const unsigned N = params.numDelays;
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> dist(0.0, 1.0);
    std::vector<std::vector<double>> states(4, std::vector<double>(std::size_t(N) * N));
    std::vector<const double*> pointers;
    for (auto& s : states) {
        for (double& x : s) x = dist(rng);
        pointers.push_back(s.data());
    }
    PhaseModel model;
    Matrix<double> levelDelays(2, 2), observations(params.numPhaseCandidates, 2);
    PhaseTable history = phaseTable(params), scores;
    unsigned step = 0;
    for (auto _ : state) {
        const PhaseChoice c = model.step(step, 0.5, 2.0, 86 * step + 85, pointers, N, params,
                                         levelDelays, history, scores, observations);
        benchmark::DoNotOptimize(c);
        ++step;
    }
}
BENCHMARK(BM_PhaseStage)->Unit(benchmark::kMicrosecond);

// The 125 x 125 transition matrix: direct construction against the literal
// sum of Kronecker products.
void BM_JointTransitionsDirect(benchmark::State& state) {
    Matrix<double> tb(5, 5), tm(5, 5), tt(5, 5), out;
    std::vector<double> scores(125, -3.0);
    for (auto _ : state) {
        buildJointTransitions(scores.data(), tb, tm, tt, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_JointTransitionsDirect)->Unit(benchmark::kMicrosecond);

void BM_JointTransitionsLiteralKron(benchmark::State& state) {
    Matrix<double> tb(5, 5), tm(5, 5), tt(5, 5), ones25(25, 25), ones5(5, 5);
    ones25 += 1.0;
    ones5 += 1.0;
    std::vector<double> scores(125, -3.0);
    for (auto _ : state) {
        Matrix<double> t(125, 125), k1, inner, k2, k3;
        for (unsigned r = 0; r < 125; ++r)
            for (unsigned c = 0; c < 125; ++c) t[r][c] = scores[r];
        kron(ones25, tb, k1);
        kron(ones5, tm, inner);
        kron(inner, ones5, k2);
        kron(tt, ones25, k3);
        t += k1;
        t += k2;
        t += k3;
        benchmark::DoNotOptimize(t.data());
    }
}
BENCHMARK(BM_JointTransitionsLiteralKron)->Unit(benchmark::kMicrosecond);

// One analysis step's model work as the tracker driver does it: four banks
// over 86 new accent samples, the leaky energy integrals, the delay-line
// scan for every resonator's mean square output, the resonance and bias,
// then the period and phase stages.
void BM_ModelStep(benchmark::State& state) {
    const Params params(44100);
    const unsigned N = params.numDelays, channels = 4, hop = 86;
    const double D = params.decayPerSample, decayHop = std::pow(D, hop);
    std::vector<Resonators> banks;
    for (unsigned c = 0; c < channels; ++c)
        banks.emplace_back(params.delays, params.feedbackGains, params.decayPerSample,
                           static_cast<int>(params.resonatorHop));
    std::vector<const double*> pointers;
    for (const auto& b : banks) pointers.push_back(b.getState());
    const unsigned stride = banks[0].getLongestDelay();

    // Accent-like input: clicks every 86 frames on a noise floor.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> dist(-0.05, 0.05);
    std::vector<std::vector<double>> input(channels, std::vector<double>(hop));

    Matrix<double> energyAcc(N, channels), out(1, 1);
    std::vector<double> inputEnergyAcc(channels, 0.0), e(1), v(N), u(N), resonanceSum(N);
    PeriodModel periodModel;
    PhaseModel phaseModel;
    PeriodHistory periodHist = periodHistory(params);
    PhaseTable phaseHist = phaseTable(params), phaseScores;
    Matrix<double> jointScores(1, 1), levelDelays(2, 2), observations(15, 2);

    unsigned step = 0;
    for (auto _ : state) {
        const unsigned n = step * hop + hop - 1;
        for (unsigned i = 0; i < N; ++i) {
            const double g =
                std::pow(params.feedbackGains[i], std::ceil((n + 1.0) / params.delays[i]));
            u[i] = (1.0 - g * g) * params.gainNorms[i].real();
        }
        std::fill(resonanceSum.begin(), resonanceSum.end(), 0.0);
        for (unsigned c = 0; c < channels; ++c) {
            for (unsigned j = 0; j < hop; ++j) input[c][j] = dist(rng) + (j == 40 ? 1.0 : 0.0);
            banks[c].process(input[c], e, out);
            for (unsigned j = 0; j < N; ++j) {
                out[0][j] += decayHop * energyAcc[j][c];
                energyAcc[j][c] = out[0][j];
            }
            e[0] = decayHop * inputEnergyAcc[c] + e[0];
            inputEnergyAcc[c] = e[0];
            const double* st = pointers[c];
            for (unsigned j = 0; j < N; ++j) {
                double sum = 0.0;
                for (unsigned m = 0; m <= j; ++m) sum += st[j * stride + m] * st[j * stride + m];
                const double g = params.feedbackGains[j];
                const double z = sum / (g * g) / (j + 1);
                const double r = z / ((1.0 - D) * e[0]) - u[j];
                resonanceSum[j] += (r >= 0.0) ? r : 0.0;
            }
        }
        for (unsigned j = 0; j < N; ++j) v[j] = resonanceSum[j] * (1.0 / channels);
        const PeriodChoice pc = periodModel.step(step, v, u, params, periodHist, jointScores);
        const PhaseChoice ph = phaseModel.step(step, pc.beat, pc.bar, n, pointers, stride, params,
                                               levelDelays, phaseHist, phaseScores, observations);
        benchmark::DoNotOptimize(ph);
        ++step;
    }
    state.counters["realtime_factor"] = benchmark::Counter(
        0.5 * state.iterations(), benchmark::Counter::kIsRate);  // seconds of audio per second
}
BENCHMARK(BM_ModelStep)->Unit(benchmark::kMicrosecond);

}  // namespace
