// The meter tracker over five minutes of synthetic drum music, fed in blocks
// of 128 samples as the live engine feeds it: the whole tracker, the accent
// front end alone with the tracker's calling pattern, and the rest (the
// resonator banks, the resonance vector and the period and phase models) as
// the difference. Counters: audio seconds per wall-clock second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "../tests/synthetic_drums.h"
#include "Matrix.h"
#include "meterTrackerC.h"
#include "onsets.h"

namespace {

const unsigned kBlock = 128;
const double kSeconds = 300.0;

const std::vector<double>& fiveMinutes() {
    static const std::vector<double> samples = [] {
        synth::DrumPattern p;
        p.bpm = 123.0;
        p.seconds = kSeconds;
        return synth::drums(p).samples;
    }();
    return samples;
}

void setRate(benchmark::State& state) {
    state.counters["audio_s_per_s"] = benchmark::Counter(
        kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_TrackerFiveMinutes(benchmark::State& state) {
    const std::vector<double>& x = fiveMinutes();
    for (auto _ : state) {
        meterTracker::mTracker tracker(44100);
        for (std::size_t i = 0; i < x.size(); i += kBlock) {
            tracker.addData(&x[i],
                            static_cast<unsigned>(std::min<std::size_t>(kBlock, x.size() - i)));
            tracker.process();
        }
        benchmark::DoNotOptimize(tracker.getStepsDone());
    }
    setRate(state);
}
BENCHMARK(BM_TrackerFiveMinutes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The front end as the tracker drives it: audio left in its buffer until a
// step's columns are there, then analysed in one run, the envelopes fetched
// and consumed half a second at a time.
void BM_FrontEndFiveMinutes(benchmark::State& state) {
    const std::vector<double>& x = fiveMinutes();
    const unsigned hop = 86;
    for (auto _ : state) {
        Onsets onsets(44100);
        NumaMathLibrary::Matrix<double> envelopes;
        unsigned frameCount = 0, stepsDone = 0;
        for (std::size_t i = 0; i < x.size(); i += kBlock) {
            onsets.addData(&x[i],
                           static_cast<unsigned>(std::min<std::size_t>(kBlock, x.size() - i)));
            if (onsets.columnEndAfterProcess() < onsets.getGroupDelay() + hop * (stepsDone + 1))
                continue;
            if (!onsets.process()) continue;
            const unsigned G = onsets.getGroupDelay();
            if (!onsets.getBandEnvs(envelopes, frameCount)) continue;
            const unsigned F = envelopes.nCols();
            if (frameCount + F < G + hop) continue;
            const unsigned steps = (frameCount + F - G - hop) / hop + 1;
            if (steps <= stepsDone) continue;
            stepsDone = steps;
            frameCount = steps * hop;
            onsets.clearBandEnvs(frameCount, true);
        }
        benchmark::DoNotOptimize(stepsDone);
    }
    setRate(state);
}
BENCHMARK(BM_FrontEndFiveMinutes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
