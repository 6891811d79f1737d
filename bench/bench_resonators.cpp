// One analysis step's resonator work at 44100 Hz: four channel banks of 689
// resonators, each fed the 86 accent samples of the step; as four Resonators
// banks, and as the tracker runs them, side by side in one ResonatorBanks
// (with and without the combs' output energies).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "Matrix.h"
#include "params.h"
#include "resoC.h"
#include "resonatorBanks.h"

namespace {

constexpr unsigned kChannels = 4;
constexpr unsigned kStepFrames = 86;

void BM_ResonatorStep(benchmark::State& state) {
    const meterTracker::Params params(44100);
    std::vector<std::unique_ptr<meterTracker::Resonators>> banks;
    for (unsigned c = 0; c < kChannels; ++c)
        banks.emplace_back(new meterTracker::Resonators(params.delays, params.feedbackGains,
                                                        params.decayPerSample,
                                                        static_cast<int>(params.resonatorHop)));

    // Enough distinct blocks that the combs never settle into a cached pattern.
    std::mt19937 rng(7);
    std::exponential_distribution<double> accent(4.0);
    std::vector<std::vector<std::vector<double>>> blocks(
        16, std::vector<std::vector<double>>(kChannels, std::vector<double>(kStepFrames)));
    for (auto& step : blocks)
        for (auto& channel : step)
            for (double& v : channel) v = accent(rng) - 0.25;

    std::vector<double> inputEnergy(1);
    NumaMathLibrary::Matrix<double> out;
    std::size_t step = 0;
    for (auto _ : state) {
        const auto& input = blocks[step++ % blocks.size()];
        for (unsigned c = 0; c < kChannels; ++c) {
            banks[c]->process(input[c], inputEnergy, out);
            benchmark::DoNotOptimize(out.data());
            benchmark::DoNotOptimize(inputEnergy.data());
        }
    }
    state.counters["resonators"] = static_cast<double>(params.numDelays);
    state.counters["steps/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ResonatorStep)->Unit(benchmark::kMicrosecond);

// Arg 1: with the combs' output energies; 0: line sums and input energies only.
void BM_ResonatorBanksStep(benchmark::State& state) {
    const meterTracker::Params params(44100);
    meterTracker::ResonatorBanks banks(kChannels, params.delays, params.feedbackGains,
                                       params.decayPerSample);
    std::mt19937 rng(7);
    std::exponential_distribution<double> accent(4.0);
    // frames x channels, as the tracker hands them over.
    std::vector<std::vector<double>> blocks(16, std::vector<double>(kStepFrames * kChannels));
    for (auto& step : blocks)
        for (double& v : step) v = accent(rng) - 0.25;

    const bool energies = state.range(0) != 0;
    std::vector<double> inputEnergy(kChannels), combEnergy(params.numDelays * kChannels);
    std::size_t step = 0;
    for (auto _ : state) {
        const auto& input = blocks[step++ % blocks.size()];
        banks.process(input.data(), kStepFrames, kChannels, inputEnergy.data(),
                      energies ? combEnergy.data() : nullptr);
        benchmark::DoNotOptimize(inputEnergy.data());
        benchmark::DoNotOptimize(combEnergy.data());
    }
    state.counters["steps/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ResonatorBanksStep)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace
