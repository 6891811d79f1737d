// The engine with its threads (run under ThreadSanitizer in CI): a whole
// lifecycle with audio fed from one thread and the application's calls made
// from another; audio dropped by a slow analysis, which must not shift the
// tracker's time axis against the engine clock; closing while the timer
// waits for estimates. No race, no leak, no thread left behind.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi_test_support.h"
#include "prediction.h"
#include "synthetic_drums.h"
#include "tempomind.h"

namespace {

using Clock = std::chrono::steady_clock;

// The audio owner's stream clock: seconds of audio delivered so far,
// dropped blocks included.
struct StreamClock {
    std::atomic<double> now{0.0};
    static double read(void* user) { return static_cast<StreamClock*>(user)->now.load(); }
};

// Threads of this process. The first thread ever started may bring helper
// threads of the runtime (ThreadSanitizer's, for one); one is started and
// joined before a baseline is taken.
int thread_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

int baseline_thread_count() {
    std::thread([] {}).join();
    return thread_count();
}

template <typename Condition>
bool wait_until(Condition&& condition, double seconds = 60.0) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<float> music(double bpm, double seconds) {
    synth::DrumPattern pattern;
    pattern.bpm = bpm;
    pattern.seconds = seconds;
    pattern.firstBeat = 0.3;
    const synth::Music m = synth::drums(pattern);
    return std::vector<float>(m.samples.begin(), m.samples.end());
}

const char* const kPorts[] = {"Thread test port", nullptr};

TempoMind_t* recorded_engine(StreamClock* clock) {
    midioutput_recorder_config config;
    config.port_names = kPorts;
    config.clock = &StreamClock::read;
    config.clock_user = clock;
    TempoMind_t* engine = nullptr;
    printed_by([&] { engine = tm_init_recorded(-1, 0, config); });
    return engine;
}

// Plays audio into the engine from its own thread, as an audio callback
// would: 128-sample blocks, the clock advanced with every block.
class AudioFeeder {
  public:
    AudioFeeder(TempoMind_t* engine, StreamClock* clock, const std::vector<float>* audio)
        : engine_(engine), clock_(clock), audio_(audio) {}
    ~AudioFeeder() { stop(); }

    // Blocks at about twice real time until stopped (or the audio ends).
    void start() {
        running_.store(true);
        thread_ = std::thread([this] {
            while (running_.load() && position_ + 128 <= audio_->size()) {
                for (int i = 0; i < 4 && position_ + 128 <= audio_->size(); ++i) {
                    const double time = position_ / 44100.0;
                    clock_->now.store((position_ + 128) / 44100.0);
                    tm_process_audio(audio_->data() + position_, 128, engine_, time);
                    position_ += 128;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(5800));
            }
        });
    }
    void stop() {
        running_.store(false);
        if (thread_.joinable()) thread_.join();
    }

  private:
    TempoMind_t* engine_;
    StreamClock* clock_;
    const std::vector<float>* audio_;
    size_t position_ = 0;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// What the application does from its own thread while audio flows.
void application_calls(TempoMind_t* engine, double seconds) {
    static const double kTempoModes[3][3] = {{2.1, 0.55, 0.18}, {1.6, 0.4, 0.13}, {2.8, 0.7, 0.24}};
    struct Counter {
        std::atomic<int> calls{0};
        static void cb(void* user, double) { ++static_cast<Counter*>(user)->calls; }
    } counter;
    int registered = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (int i = 0; Clock::now() < end; ++i) {
        tm_change_half_time(engine, 3.0 + (i % 10));
        tm_change_myyValues(engine, kTempoModes[i % 3][0], kTempoModes[i % 3][1],
                            kTempoModes[i % 3][2]);
        double bar, beat, tatum;
        tm_get_meter_phases(engine, &bar, &beat, &tatum);
        tm_get_input_level(engine);
        tm_get_nonbeatyness(engine);
        tm_get_bpm(engine);
        if (tm_register_phase_cb(engine, i % 3, &counter, &Counter::cb)) ++registered;
        if (i % 2) {
            tm_unregister_phase_cb(engine, &counter);
            --registered;
        }
        tm_enable_midiclock(engine, i % 4 != 3);
        tm_enable_midiphase(engine, 1);
        tm_enable_midinote(engine, i % 2);
        tm_set_anti_delay(engine, 0.01 * (i % 5));
        tm_send_midi_message(engine, 1, 0, 1, i % 128);
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
    }
    // The counter goes out of scope: none of its nodes may stay.
    for (; registered > 0; --registered) tm_unregister_phase_cb(engine, &counter);
}

TEST(EngineThreads, LifecycleWithAudioAndApplicationCallsLeavesNoThread) {
    const int threads_before = baseline_thread_count();
    const std::vector<float> audio = music(118.0, 40.0);
    StreamClock clock;
    TempoMind_t* engine = recorded_engine(&clock);
    ASSERT_NE(engine, nullptr);
    tm_start_sequencer(engine);
    tm_register_gettime_cb(engine, &clock, &StreamClock::read);

    {
        AudioFeeder feeder(engine, &clock, &audio);
        feeder.start();
        std::thread application(application_calls, engine, 2.0);
        application.join();
        feeder.stop();
    }
    EXPECT_TRUE(wait_until([&] { return std::isfinite(tm_get_bpm(engine)); }))
        << "the tracker has produced an estimate";

    // A new audio input: the stream stops, then the engine.
    testing::internal::CaptureStderr();
    EXPECT_EQ(tm_stop(engine), 0);
    testing::internal::GetCapturedStderr();
    clock.now.store(0.0);
    printed_by([&] { tm_run(engine); });
    tm_register_gettime_cb(engine, &clock, &StreamClock::read);
    {
        AudioFeeder feeder(engine, &clock, &audio);
        feeder.start();
        std::thread application(application_calls, engine, 1.0);
        application.join();
        feeder.stop();
        printed_by([&] { EXPECT_EQ(tm_reinit(engine), 1); });
        feeder.start();
        std::thread again(application_calls, engine, 1.0);
        again.join();
        feeder.stop();
    }

    testing::internal::CaptureStderr();
    tm_close(engine);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(thread_count(), threads_before) << "every engine thread has been joined";
}

TEST(EngineThreads, DroppedAudioKeepsTheTrackerOnTheEngineClock) {
    // 120 BPM, beats at 0.3 + 0.5k s of stream time. While the analysis is
    // held up, 258 blocks (0.749 s, a beat and a half) are dropped. The
    // tracker must still see one sample for every sample of the clock, so
    // that its beats (on its own time axis) are the clock's beats.
    const double period = 0.5;
    const double first_beat = 0.3;
    const std::vector<float> audio = music(120.0, 24.0);
    StreamClock clock;
    TempoMind_t* engine = recorded_engine(&clock);
    ASSERT_NE(engine, nullptr);
    tm_start_sequencer(engine);
    tm_register_gettime_cb(engine, &clock, &StreamClock::read);
    meterticker_state* ticker = engine->ticker;
    sequencer_state* sequencer = engine->sequencer.load();

    size_t position = 0;
    auto push = [&](size_t blocks) {
        for (size_t i = 0; i < blocks && position + 128 <= audio.size(); ++i) {
            clock.now.store((position + 128) / 44100.0);
            tm_process_audio(audio.data() + position, 128, engine, position / 44100.0);
            position += 128;
        }
    };
    // Feeds in bursts that fit the ring, waiting for the analysis to catch up.
    auto play_until = [&](double seconds) {
        while (position + 128 <= audio.size() && position < seconds * 44100.0) {
            push(64);
            // Caught up: the ring is empty again (the consumer moves on only
            // after the analysis of a stretch).
            ASSERT_TRUE(wait_until([&] {
                return sequencer->consumers[0].read_position.load() ==
                       sequencer->write_position.load();
            }));
        }
    };

    play_until(8.0);
    ASSERT_EQ(sequencer_dropped_samples(sequencer), 0);
    {
        // The consumer thread cannot enter the tracker: the ring fills up.
        std::lock_guard<std::mutex> hold(ticker->tracker_lock);
        push(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the consumer now waits
        push(126 + 258);  // the ring holds 126 more; the rest is dropped
    }
    EXPECT_EQ(sequencer_dropped_samples(sequencer), 258 * 128);
    play_until(24.0);

    EXPECT_EQ(meterticker_tracker_samples(ticker), static_cast<std::int64_t>(position))
        << "every sample of the clock, dropped or not, reached the tracker";
    const double beat_period = ticker->levels[METERLEVEL_BEAT].period.load();
    const double reference = ticker->levels[METERLEVEL_BEAT].reference.load();
    ASSERT_NEAR(beat_period, period, 0.01);
    double offset = std::fmod(reference - first_beat, period);
    if (offset > period / 2) offset -= period;
    if (offset < -period / 2) offset += period;
    EXPECT_LT(std::fabs(offset), 0.05) << "beat reference " << reference;

    testing::internal::CaptureStderr();
    tm_close(engine);
    testing::internal::GetCapturedStderr();
}

TEST(EngineThreads, PhaseCallbacksComeAndGoWhileTheTimerWalksTheList) {
    StreamClock clock;
    TempoMind_t* engine = recorded_engine(&clock);
    ASSERT_NE(engine, nullptr);
    tm_register_gettime_cb(engine, &clock, &StreamClock::read);
    const double periods[METERLEVEL_COUNT] = {0.2, 0.05, 0.025};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    ASSERT_TRUE(meterticker_set_estimates(engine->ticker, periods, references));
    ASSERT_TRUE(wait_until([&] { return meterticker_timer_aligned(engine->ticker); }));

    struct Counter {
        std::atomic<int> calls{0};
        static void cb(void* user, double) { ++static_cast<Counter*>(user)->calls; }
    } counters[4];
    std::atomic<bool> done{false};
    std::thread time_source([&] {
        const auto start = Clock::now();
        while (!done.load()) {
            clock.now.store(std::chrono::duration<double>(Clock::now() - start).count());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < 300; ++round) {
        for (Counter& c : counters) tm_register_phase_cb(engine, round % 3, &c, &Counter::cb);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        for (Counter& c : counters) tm_unregister_phase_cb(engine, &c);
    }
    done.store(true);
    time_source.join();
    EXPECT_EQ(engine->ticker->callbacks.load(), nullptr);
    int calls = 0;
    for (Counter& c : counters) calls += c.calls.load();
    EXPECT_GT(calls, 0) << "the timer walked the list in between";

    testing::internal::CaptureStderr();
    tm_close(engine);
    testing::internal::GetCapturedStderr();
}

TEST(EngineThreads, ClosingWhileWaitingForEstimatesReturns) {
    const int threads_before = baseline_thread_count();
    StreamClock clock;
    for (int i = 0; i < 5; ++i) {
        TempoMind_t* engine = recorded_engine(&clock);
        ASSERT_NE(engine, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * i));
        testing::internal::CaptureStderr();
        tm_close(engine);
        testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(thread_count(), threads_before);
}

}  // namespace
