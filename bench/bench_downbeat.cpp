// The downbeat stage over five minutes of synthetic music with changing
// harmony, fed in blocks of 128 samples as the live engine feeds the tracker,
// with its beats handed in half a second ahead. Counter: audio seconds per
// wall-clock second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "../tests/synthetic_meter.h"
#include "downbeatTracker.h"

namespace {

const unsigned kBlock = 128;

const synth::MeterMusic& fiveMinutes() {
    static const synth::MeterMusic music = [] {
        synth::MeterPiece p;
        p.bpm = 123.0;
        p.bars.assign(154, 4);  // 616 beats, 300 s
        p.mark = synth::BarMark::kHarmony;
        return synth::meterPiece(p);
    }();
    return music;
}

void BM_DownbeatStageFiveMinutes(benchmark::State& state) {
    const synth::MeterMusic& m = fiveMinutes();
    meterTracker::DownbeatTracker stage(44100);
    meterTracker::BeatPosition d;
    for (auto _ : state) {
        stage.reset();
        std::size_t next = 0;
        long decided = 0;
        for (std::size_t i = 0; i < m.samples.size(); i += kBlock) {
            const unsigned n =
                static_cast<unsigned>(std::min<std::size_t>(kBlock, m.samples.size() - i));
            const double now = double(i + n) / 44100.0;
            while (next < m.beats.size() && m.beats[next] <= now + 0.5)
                stage.addBeat(m.beats[next++]);
            stage.addAudio(&m.samples[i], n);
            while (stage.nextDecision(d)) ++decided;
        }
        benchmark::DoNotOptimize(decided);
    }
    state.counters["audio_s_per_s"] = benchmark::Counter(
        double(m.samples.size()) / 44100.0 * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DownbeatStageFiveMinutes)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
