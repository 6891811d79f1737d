// Jitter of the live timer loop: the engine runs with its threads on the
// steady clock and a fixed tempo estimate (120 BPM), MIDI clock on, and the
// intervals between successive MIDI clocks are compared with a 24th of the
// beat (20.833 ms). Counters, in milliseconds: mean interval, and the mean,
// 99th percentile and maximum of |interval - beat / 24|.
//  - at_send: the recording backend's clock as the timer thread sends (the
//    loop itself: 1 ms passes plus the scheduler);
//  - stamped: the time stamps the messages carry (the predicted ticks), which
//    a backend that delivers by time stamp would keep;
//  - through_jack: time stamps of a JACK MIDI receiver on a JACK server of the
//    benchmark's own (dummy backend, 128-frame periods of 2.9 ms, to which
//    JACK quantises delivery).
// Run for 20 s each: ./bench_engine_jitter
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "../tests/jack_midi_receiver.h"
#include "../tests/jack_server.h"
#include "prediction.h"
#include "tempomind.h"

namespace {

const double kBeat = 0.5;
const double kSeconds = 20.0;

struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    static double read(void* user) {
        const auto* self = static_cast<Stopwatch*>(user);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - self->start)
            .count();
    }
};

void report(benchmark::State& state, const std::vector<double>& clock_times) {
    std::vector<double> deviations;
    double sum = 0.0;
    for (size_t i = 1; i < clock_times.size(); ++i) {
        const double interval = clock_times[i] - clock_times[i - 1];
        sum += interval;
        deviations.push_back(std::fabs(interval - kBeat / 24));
    }
    if (deviations.empty()) {
        state.SkipWithError("no clocks");
        return;
    }
    std::vector<double> sorted = deviations;
    std::sort(sorted.begin(), sorted.end());
    double mean_deviation = 0.0;
    for (double d : deviations) mean_deviation += d;
    mean_deviation /= deviations.size();
    state.counters["clocks"] = static_cast<double>(clock_times.size());
    state.counters["mean_interval_ms"] = 1000 * sum / deviations.size();
    state.counters["mean_dev_ms"] = 1000 * mean_deviation;
    state.counters["p99_dev_ms"] = 1000 * sorted[(sorted.size() - 1) * 99 / 100];
    state.counters["max_dev_ms"] = 1000 * sorted.back();
}

bool start_clock(TempoMind_t* engine, Stopwatch* stopwatch) {
    tm_register_gettime_cb(engine, stopwatch, &Stopwatch::read);
    const double periods[METERLEVEL_COUNT] = {4 * kBeat, kBeat, kBeat / 2};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    // A grid the tracker has confirmed, so that the clock starts on it.
    for (int i = 0; i <= METERTICKER_START_SETTLED_UPDATES; ++i)
        meterticker_set_estimates(engine->ticker, periods, references);
    for (int i = 0; i < 2000 && !meterticker_timer_aligned(engine->ticker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return meterticker_timer_aligned(engine->ticker) && tm_enable_midiclock(engine, 1) == 0;
}

// The recording backend's clock at the send, or the stamps the messages carry.
void clock_jitter_recorded(benchmark::State& state, bool stamped) {
    for (auto _ : state) {
        Stopwatch stopwatch;
        const char* const ports[] = {"bench", nullptr};
        midioutput_recorder_config recorder;
        recorder.port_names = ports;
        recorder.clock = &Stopwatch::read;
        recorder.clock_user = &stopwatch;
        TempoMind_t* engine = tm_init_recorded(-1, 0, recorder);
        if (!engine || !start_clock(engine, &stopwatch)) {
            state.SkipWithError("engine did not start");
            return;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
        std::vector<double> clocks;
        for (const midioutput_record& r :
             midioutput_get_records(meterticker_midi(engine->ticker))) {
            if (r.bytes == std::vector<unsigned char>{0xF8})
                clocks.push_back(stamped ? r.time : r.clock_time);
        }
        tm_close(engine);
        report(state, clocks);
    }
}

void BM_ClockJitterAtSend(benchmark::State& state) {
    clock_jitter_recorded(state, false);
}
BENCHMARK(BM_ClockJitterAtSend)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ClockJitterStamped(benchmark::State& state) {
    clock_jitter_recorded(state, true);
}
BENCHMARK(BM_ClockJitterStamped)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ClockJitterThroughJack(benchmark::State& state) {
    for (auto _ : state) {
        jack_test::JackServer server;
        std::string why;
        if (!server.start(&why)) {
            state.SkipWithError(("no JACK server: " + why).c_str());
            return;
        }
        TempoMind_t* engine = nullptr;
        std::vector<double> clocks;
        {
            jack_test::MidiReceiver receiver("kadenzo-bench-receiver");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            engine = tm_init(-1, 0);
            if (!engine) {
                state.SkipWithError("engine did not start");
                return;
            }
            char** names = tm_get_mididev_list(engine);
            int port = -1;
            for (int i = 0; names && names[i]; ++i) {
                if (receiver.port_name() == names[i]) port = i;
            }
            Stopwatch stopwatch;
            if (port < 0 || tm_set_mididev(engine, port) != 0 || tm_enable_midiclock(engine, 0) ||
                !start_clock(engine, &stopwatch)) {
                tm_close(engine);
                state.SkipWithError("no connection to the receiver");
                return;
            }
            receiver.collect_for(kSeconds);
            tm_close(engine);
            for (const jack_test::ReceivedMessage& m : receiver.messages()) {
                if (m.bytes == std::vector<unsigned char>{0xF8}) clocks.push_back(m.jack_time);
            }
        }
        server.stop();
        report(state, clocks);
    }
}
BENCHMARK(BM_ClockJitterThroughJack)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
