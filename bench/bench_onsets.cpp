// The accent front end over 60 s of audio at 44100 Hz: addData + process, in
// the engine's 128-sample blocks and in one piece. The counter "realtime" is
// audio seconds analysed per CPU second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "onsets.h"

namespace {

constexpr double kFs = 44100.0;
constexpr double kSeconds = 60.0;

// A tone, a noise floor and decaying noise bursts every 0.23 s.
std::vector<double> audio() {
    std::vector<double> x(static_cast<std::size_t>(kSeconds * kFs));
    std::uint32_t state = 7;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) / 16777216.0 - 0.5;
    };
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = i / kFs;
        x[i] = 0.05 * std::sin(2 * 3.141592653589793 * 220.0 * t) + 0.01 * noise() +
               0.8 * noise() * std::exp(-std::fmod(t, 0.23) / 0.01);
    }
    return x;
}

void setCounters(benchmark::State& state) {
    state.counters["realtime"] =
        benchmark::Counter(kSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

// As the tracker drives it: a process after every block, and after every
// successful one the columns it has used are cleared, so the history stays short.
void BM_Blocks(benchmark::State& state) {
    const std::vector<double> x = audio();
    const unsigned int block = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        Onsets onsets(44100);
        for (std::size_t i = 0; i + block <= x.size(); i += block) {
            onsets.addData(x.data() + i, block);
            if (onsets.process()) {
                // Keep the newest 100 columns, about what the tracker holds.
                const std::size_t fed = i + block;
                const unsigned int columns =
                    static_cast<unsigned int>(2 * ((fed - 1024) / 512 + 1));
                if (columns > 100) onsets.clearBandEnvs(columns - 100, true);
            }
        }
        benchmark::DoNotOptimize(onsets.getGroupDelay());
    }
    setCounters(state);
}
BENCHMARK(BM_Blocks)->Arg(128)->Arg(4096)->Unit(benchmark::kMillisecond);

// All 60 s in one addData and one process; the history keeps every column.
void BM_Whole(benchmark::State& state) {
    const std::vector<double> x = audio();
    for (auto _ : state) {
        Onsets onsets(44100);
        onsets.addData(x);
        benchmark::DoNotOptimize(onsets.process());
    }
    setCounters(state);
}
BENCHMARK(BM_Whole)->Unit(benchmark::kMillisecond);

}  // namespace
