// The cost of one timer pass (the live engine runs 1000 of them a second) on
// a virtual clock: with every output off, with the MIDI clock, phase
// controllers and notes going to the recording backend, and with phase
// callbacks. And `kadenzo render` over a minute of synthetic music: the
// counter audio_s_per_s is seconds of audio per second of computing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "../tests/synthetic_drums.h"
#include "meterticker.h"
#include "prediction.h"
#include "render.h"
#include "sequencer.h"

namespace {

struct VirtualClock {
    double now = 0.0;
    static double read(void* user) { return static_cast<VirtualClock*>(user)->now; }
};

void callback(void* user, double) {
    ++*static_cast<std::int64_t*>(user);
}

// outputs: 0 none, 1 clock + phase controllers + notes; callbacks: phase callbacks registered.
void BM_TimerPass(benchmark::State& state) {
    const bool outputs = state.range(0) != 0;
    const int callbacks = static_cast<int>(state.range(1));
    VirtualClock clock;
    sequencer_state* sequencer = init_sequencer();
    sequencer_register_gettime_cb(sequencer, &clock, &VirtualClock::read);
    meterticker_state* ticker = nullptr;
    if (meterticker_init_manual_recorded(sequencer, "bench", &VirtualClock::read, &clock,
                                         &ticker) != 0) {
        state.SkipWithError("no ticker");
        return;
    }
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.1, 0.1, 0.1};
    // A grid the tracker has confirmed, so that the clock starts on it.
    for (int i = 0; i <= METERTICKER_START_SETTLED_UPDATES; ++i)
        meterticker_set_estimates(ticker, periods, references);
    if (outputs) {
        meterticker_midiclock_out(ticker, 1);
        meterticker_midiphase_out(ticker, 1);
        meterticker_midinote_out(ticker, 1);
    }
    std::int64_t calls = 0;
    for (int i = 0; i < callbacks; ++i) {
        meterticker_register_phase_cb(ticker, i % METERLEVEL_COUNT, &calls, callback);
    }
    std::int64_t ms = 10000;
    clock.now = ms / 1000.0;
    meterticker_timer_align(ticker);
    for (auto _ : state) {
        clock.now = static_cast<double>(++ms) / 1000.0;
        meterticker_timer_pass(ticker);
        if ((ms & 0xFFFF) == 0) {
            state.PauseTiming();
            midioutput_take_records(meterticker_midi(ticker));  // keep the store small
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(calls);
    meterticker_close(ticker);
    close_sequencer(sequencer);
}
BENCHMARK(BM_TimerPass)->Args({0, 0})->Args({1, 0})->Args({1, 8});

void BM_Render(benchmark::State& state) {
    synth::DrumPattern pattern;
    pattern.bpm = 123.0;
    pattern.seconds = 60.0;
    const synth::Music music = synth::drums(pattern);
    const std::vector<float> audio(music.samples.begin(), music.samples.end());
    for (auto _ : state) {
        const RenderOutcome outcome = render_engine(audio, RenderSettings{});
        benchmark::DoNotOptimize(outcome.messages.data());
    }
    state.counters["audio_s_per_s"] =
        benchmark::Counter(pattern.seconds * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Render)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
