// The tm_ interface of the engine with the MIDI driver's recording backend:
// creation and its error status, the handle states (running, stopped,
// closed), the MIDI control functions and their "no MIDI" answers, port
// changes with bad and stale indexes, the queries, and the recovery when a
// new engine cannot get its MIDI port.
#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.h"
#include "meterTrackerC.h"
#include "midi_test_support.h"
#include "tempomind.h"
#include "tempomind_version.h"

namespace {

using engine_test::Bytes;
using engine_test::times_of;

// A clock for threaded engines: read by the timer thread, set by the test.
struct SharedClock {
    std::atomic<double> now{0.0};
    static double read(void* user) { return static_cast<SharedClock*>(user)->now.load(); }
};

const char* const kPorts[] = {"Alpha", "Beta", "Gamma", nullptr};

midioutput_recorder_config recorder_for(SharedClock* clock, const char* const* ports = kPorts) {
    midioutput_recorder_config config;
    config.port_names = ports;
    config.clock = &SharedClock::read;
    config.clock_user = clock;
    return config;
}

template <typename Condition>
bool wait_until(Condition&& condition, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<Bytes> bytes_of(const std::vector<midioutput_record>& records) {
    std::vector<Bytes> bytes;
    for (const midioutput_record& r : records) bytes.push_back(r.bytes);
    return bytes;
}

std::vector<std::string> list_of(char** array) {
    std::vector<std::string> names;
    for (int i = 0; array && array[i]; ++i) names.emplace_back(array[i]);
    return names;
}

// Runs an action and returns what it wrote on standard error.
template <typename Action>
std::string stderr_of(Action&& action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

int count(const LogCapture& log, const std::string& text) {
    int n = 0;
    for (const LoggedLine& line : log.lines()) n += line.text == text;
    return n;
}

// A recorded engine on a shared clock, opened on port 1 (Beta).
class EngineInterface : public testing::Test {
  protected:
    void SetUp() override {
        const midioutput_recorder_config config = recorder_for(&clock_);
        printed_by([&] { engine_ = tm_init_recorded(-1, 1, config); });
        ASSERT_NE(engine_, nullptr);
        tm_register_gettime_cb(engine_, &clock_, &SharedClock::read);
    }
    void TearDown() override {
        if (engine_) stderr_of([&] { tm_close(engine_); });
    }
    midioutput_state* midi() { return meterticker_midi(engine_->ticker); }
    std::vector<midioutput_record> take() { return midioutput_take_records(midi()); }
    int set_mididev(int port) {
        int result = -1;
        printed_by([&] { result = tm_set_mididev(engine_, port); });
        return result;
    }

    // Installed before the engine's threads start and removed after they
    // end: the handler must not change while they log.
    LogCapture log_;
    SharedClock clock_;
    TempoMind_t* engine_ = nullptr;
};

// ---- Creation and its status ---------------------------------------------------

TEST(EngineInit, NoMidiPortsGiveNullAndStatus3) {
    LogCapture log;
    TEMPOMIND_ERROR_STATUS = 0;
    const char* const none[] = {nullptr};
    midioutput_recorder_config config;
    config.port_names = none;
    TempoMind_t* engine = nullptr;
    const std::string err = stderr_of([&] { engine = tm_init_recorded(-1, -1, config); });
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(TEMPOMIND_ERROR_STATUS, 3);
    EXPECT_TRUE(log.contains(3, "No MIDI output available"));
    EXPECT_EQ(err, "TMMeterTicker: initialization failed\n");
    EXPECT_TRUE(log.contains(1, std::string("Version ") + tm_version_str + "\n"));
}

TEST(EngineInit, NoMidiSystemGivesNullAndStatus3) {
    // No ALSA sequencer on this machine and no JACK server of this name.
    setenv("JACK_DEFAULT_SERVER", "kadenzo-engine-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    TEMPOMIND_ERROR_STATUS = 0;
    TempoMind_t* engine = nullptr;
    stderr_of([&] { engine = tm_init(-1, -1); });
    if (engine) {
        stderr_of([&] { tm_close(engine); });
        GTEST_SKIP() << "this machine has MIDI output ports";
    }
    EXPECT_EQ(TEMPOMIND_ERROR_STATUS, 3);
}

TEST(EngineInit, APortThatCannotBeOpenedGivesStatus3) {
    LogCapture log;
    SharedClock clock;
    TEMPOMIND_ERROR_STATUS = 0;
    TempoMind_t* engine = nullptr;
    std::string printed;
    stderr_of([&] {
        printed = printed_by([&] { engine = tm_init_recorded(-1, 3, recorder_for(&clock)); });
    });
    EXPECT_EQ(engine, nullptr);
    EXPECT_EQ(TEMPOMIND_ERROR_STATUS, 3);
    EXPECT_TRUE(log.contains(3, "No MIDI ports available"));
    EXPECT_EQ(printed, "Could not open midi output: MIDI port 3 is not in the list of 3 ports\n");
}

TEST(EngineInit, SuccessLeavesTheStatusAloneAndNegativePortsOpenPort0) {
    SharedClock clock;
    TEMPOMIND_ERROR_STATUS = 42;
    TempoMind_t* engine = nullptr;
    const std::string printed =
        printed_by([&] { engine = tm_init_recorded(-1, -1, recorder_for(&clock)); });
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(TEMPOMIND_ERROR_STATUS, 42);
    EXPECT_EQ(printed, "midioutput: opening port 0: Alpha\n");
    EXPECT_EQ(tm_get_current_mididev(engine), 0);
    EXPECT_NE(engine->sequencer.load(), nullptr);
    EXPECT_EQ(engine->callbacks, nullptr);
    stderr_of([&] { tm_close(engine); });
}

// ---- Queries ----------------------------------------------------------------------

TEST_F(EngineInterface, QueriesBeforeAndAfterTheFirstBlock) {
    EXPECT_EQ(tm_get_bpm(engine_), std::numeric_limits<double>::infinity());
    EXPECT_EQ(tm_get_input_level(engine_), -100.0);
    EXPECT_EQ(tm_get_nonbeatyness(engine_), 0.0);

    tm_start_sequencer(engine_);
    std::vector<float> block(128);
    for (size_t i = 0; i < block.size(); ++i) block[i] = (i % 2 ? 0.5f : -0.5f);
    tm_process_audio(block.data(), block.size(), engine_, 0.0);
    ASSERT_TRUE(wait_until([&] { return meterticker_tracker_samples(engine_->ticker) == 128; }));
    EXPECT_NEAR(tm_get_input_level(engine_), 10 * std::log10(0.5), 1e-6);
    EXPECT_EQ(tm_get_nonbeatyness(engine_), tm_get_input_level(engine_));

    std::vector<float> silence(128, 0.0f);
    tm_process_audio(silence.data(), silence.size(), engine_, 128 / 44100.0);
    ASSERT_TRUE(wait_until([&] { return meterticker_tracker_samples(engine_->ticker) == 256; }));
    EXPECT_EQ(tm_get_input_level(engine_), -100.0);
    EXPECT_EQ(tm_get_nonbeatyness(engine_), -100.0);
}

TEST_F(EngineInterface, PhasesAndTempoFollowAnEstimate) {
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    clock_.now = 10.0003;
    ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    EXPECT_DOUBLE_EQ(tm_get_bpm(engine_), 120.0);
    ASSERT_TRUE(wait_until([&] { return meterticker_timer_aligned(engine_->ticker); }));
    // The timer thread processes each tatum tick (and the beat ticks at 10.5
    // and 11.0) as the clock passes it.
    meterticker_level* const levels = engine_->ticker->levels;
    for (int k = 1; k <= 4; ++k) {
        clock_.now = 10.0 + 0.25 * k + 0.01;
        ASSERT_TRUE(wait_until([&] { return levels[METERLEVEL_TATUM].tick_count.load() == k; }));
    }
    clock_.now = 11.125;
    ASSERT_TRUE(wait_until([&] { return levels[METERLEVEL_BEAT].tick_count.load() == 2; }));
    double bar = -1, beat = -1, tatum = -1;
    tm_get_meter_phases(engine_, &bar, &beat, &tatum);
    EXPECT_NEAR(bar, 1.125 / 2.0, 1e-9) << "the bar's phase runs with its beats: 2.25 beats in";
    EXPECT_NEAR(beat, 2.25, 1e-9);
    EXPECT_NEAR(tatum, 4.5, 1e-9);
    EXPECT_NEAR(tm_get_beat_phase(engine_), 2.25, 1e-9);
    tm_set_anti_delay(engine_, 0.125);
    EXPECT_EQ(tm_get_anti_delay(engine_), 0.125);
    EXPECT_NEAR(tm_get_beat_phase(engine_), 2.5, 1e-9);
    tm_get_meter_phases(engine_, nullptr, nullptr, nullptr);  // null outputs are ignored
}

TEST_F(EngineInterface, ASteadyBeatNeedsATempoAndConfidentUpdatesInARow) {
    EXPECT_EQ(tm_has_steady_beat(engine_), 0) << "no tempo yet";
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    EXPECT_EQ(tm_has_steady_beat(engine_), 1) << "estimates set by hand count as steady";
    struct Update {
        double confidence;
        int steady;
    };
    const Update updates[] = {{0.0, 0}, {0.9, 0}, {0.9, 1}, {0.9, 1}, {0.2, 0}, {0.9, 0}, {0.9, 1}};
    for (const Update& u : updates) {
        meterticker_set_confidence(engine_->ticker, u.confidence);
        EXPECT_EQ(tm_has_steady_beat(engine_), u.steady) << "after confidence " << u.confidence;
    }
    EXPECT_EQ(tm_has_steady_beat(nullptr), 0);
}

TEST_F(EngineInterface, HalfTimeAndPriorsReachTheTracker) {
    const double decay = tm_change_half_time(engine_, 3.0);
    EXPECT_NEAR(decay, std::pow(0.5, 1.0 / (3.0 * 44100.0 / 256.0)), 1e-12);
    EXPECT_NEAR(tm_change_half_time(engine_, 6.0), std::pow(0.5, 1.0 / (6.0 * 44100.0 / 256.0)),
                1e-12);
    tm_change_myyValues(engine_, 2.5, 0.6, 0.2);
    const meterTracker::Params& params = engine_->ticker->tracker->getParams();
    EXPECT_EQ(params.barMyy, 2.5);
    EXPECT_EQ(params.beatMyy, 0.6);
    EXPECT_EQ(params.tatumMyy, 0.2);
}

// ---- MIDI control -----------------------------------------------------------------

TEST_F(EngineInterface, SetMididevStopsTheClockChangesPortAndLeavesTheClockOn) {
    EXPECT_EQ(tm_get_current_mididev(engine_), 1);
    EXPECT_EQ(set_mididev(-1), 0) << "a negative port opens port 0";
    EXPECT_EQ(tm_get_current_mididev(engine_), 0);
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0xFC}})) << "Stop on the old port";
    EXPECT_EQ(engine_->ticker->clock.enabled.load(), 1);
    EXPECT_EQ(engine_->ticker->clock.start_pending.load(), 1);

    EXPECT_EQ(tm_enable_midiclock(engine_, 0), 0);
    EXPECT_EQ(set_mididev(2), 0);
    EXPECT_EQ(tm_get_current_mididev(engine_), 2);
    EXPECT_EQ(engine_->ticker->clock.enabled.load(), 1)
        << "on after a port change, whatever before";
    take();

    // Out of range: the old port was closed first, so none is open now.
    EXPECT_EQ(set_mididev(3), 1);
    EXPECT_EQ(tm_get_current_mididev(engine_), -1);
    tm_send_midi_message(engine_, 1, 0, 7, 100);
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0xFC}})) << "only the Stop before closing";
}

TEST_F(EngineInterface, ThePortListIsReListedAndStaleIndexesAreRefused) {
    EXPECT_EQ(list_of(tm_get_mididev_list(engine_)),
              (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    const char* const fewer[] = {"Beta", nullptr};
    midioutput_recorder_set_ports(midi(), fewer);
    EXPECT_EQ(list_of(tm_get_mididev_list(engine_)), (std::vector<std::string>{"Beta"}));
    EXPECT_EQ(tm_get_current_mididev(engine_), 0) << "the open port follows its name";
    EXPECT_EQ(set_mididev(2), 1) << "index 2 is stale after the re-listing";
    EXPECT_EQ(set_mididev(-7), 0);
    EXPECT_EQ(tm_get_current_mididev(engine_), 0);
}

TEST_F(EngineInterface, SendMidiMessageAndTheTestNote) {
    tm_send_midi_message(engine_, 0, 16, 60, 100);
    tm_send_midi_message(engine_, 3, 1, 64, 300);
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0x90, 60, 100}, {0xB1, 64, 44}}));

    const LogCapture& log = log_;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(tm_send_test_midinote(engine_, 1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0x90, 65, 127}, {0x80, 65, 0}}));
    EXPECT_TRUE(log.contains(0, "Sending a TEST MIDI note: 65"));
    EXPECT_EQ(tm_send_test_midinote(engine_, 3), 1);
    EXPECT_TRUE(take().empty());
}

TEST_F(EngineInterface, OutputSwitchesReachTheTicker) {
    EXPECT_EQ(tm_enable_midinote(engine_, 1), 0);
    for (const meterticker_note& note : engine_->ticker->notes) EXPECT_EQ(note.enabled.load(), 1);
    EXPECT_EQ(tm_enable_midiphase(engine_, 1), 0);
    EXPECT_EQ(engine_->ticker->ctrls[METERLEVEL_BAR].enabled.load(), 1);
    EXPECT_EQ(engine_->ticker->ctrls[METERLEVEL_BEAT].enabled.load(), 1);
    EXPECT_EQ(engine_->ticker->ctrls[METERLEVEL_TATUM].enabled.load(), 0);
    EXPECT_EQ(tm_enable_midiclock(engine_, 1), 0);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(tm_enable_midiclock(engine_, 0), 0);
    EXPECT_EQ(tm_enable_midiphase(engine_, 0), 0);
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0xFC}})) << "one Stop stops the slave";
}

TEST_F(EngineInterface, PhaseCallbacksThroughTheInterface) {
    struct Count {
        std::atomic<int> calls{0};
        static void cb(void* user, double) { ++static_cast<Count*>(user)->calls; }
    } counter;
    EXPECT_NE(tm_register_phase_cb(engine_, METERLEVEL_BEAT, &counter, &Count::cb), nullptr);
    EXPECT_NE(tm_register_phase_cb(engine_, METERLEVEL_BEAT, &counter, &Count::cb), nullptr);
    tm_unregister_phase_cb(engine_, &counter);
    EXPECT_NE(engine_->ticker->callbacks.load(), nullptr);
    EXPECT_EQ(engine_->ticker->callbacks.load()->next.load(), nullptr) << "one node remains";
    tm_unregister_phase_cb(engine_, &counter);
    EXPECT_EQ(engine_->ticker->callbacks.load(), nullptr);
}

TEST_F(EngineInterface, CallbackRecordsArePushedAtTheHead) {
    int a = 0, b = 0;
    EXPECT_EQ(tm_add_callback(engine_, 1, &a, nullptr), 0);
    EXPECT_EQ(tm_add_callback(engine_, 2, &b, &a), 0);
    ASSERT_NE(engine_->callbacks, nullptr);
    EXPECT_EQ(engine_->callbacks->kind, 2);
    EXPECT_EQ(engine_->callbacks->first, &b);
    EXPECT_EQ(engine_->callbacks->second, &a);
    ASSERT_NE(engine_->callbacks->next, nullptr);
    EXPECT_EQ(engine_->callbacks->next->kind, 1);
    EXPECT_EQ(engine_->callbacks->next->next, nullptr);
    EXPECT_EQ(tm_add_callback(nullptr, 1, nullptr, nullptr), 1);
    tm_enable_beat_printout();
    tm_disable_beat_printout();
}

// ---- Audio input -------------------------------------------------------------------

TEST_F(EngineInterface, ABlockLargerThanTheRingIsDroppedAndReplacedBySilence) {
    const LogCapture& log = log_;
    tm_start_sequencer(engine_);
    std::vector<float> huge(SEQUENCER_RING_LENGTH + 3616, 0.25f);
    tm_process_audio(huge.data(), huge.size(), engine_, 0.0);
    EXPECT_TRUE(wait_until([&] {
        return log.contains(0, "Dropping audio, processing thread 0 too slow");
    })) << "the consumer's thread reports the drop";
    EXPECT_EQ(sequencer_dropped_samples(engine_->sequencer.load()),
              static_cast<std::int64_t>(huge.size()));
    std::vector<float> block(128, 0.5f);
    tm_process_audio(block.data(), block.size(), engine_, huge.size() / 44100.0);
    const std::int64_t expected = static_cast<std::int64_t>(huge.size() + block.size());
    EXPECT_TRUE(wait_until([&] {
        return meterticker_tracker_samples(engine_->ticker) == expected;
    })) << "the tracker's time axis keeps pace with the clock";
    EXPECT_NEAR(tm_get_input_level(engine_), 10 * std::log10(0.5), 1e-6)
        << "the level is the block's, not the silence's";
    tm_process_audio(nullptr, 128, engine_, 0.0);  // ignored
    tm_process_audio(block.data(), 0, engine_, 0.0);
    tm_process_audio(block.data(), 128, nullptr, 0.0);
}

TEST_F(EngineInterface, AClockThatGivesNotANumberOrRunsBackKeepsTheEngineAlive) {
    const LogCapture& log = log_;
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    tm_enable_midinote(engine_, 1);
    clock_.now = 5.0003;
    ASSERT_TRUE(wait_until([&] { return meterticker_timer_aligned(engine_->ticker); }));
    clock_.now = std::nan("");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    clock_.now = 3.0;  // back by two seconds
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    clock_.now = 5.6;
    ASSERT_TRUE(wait_until([&] {
        return !times_of(take(), {0x90, 65, 127}).empty();
    })) << "ticks go on once the clock is sane again";
    bool nan_reported = false, back_reported = false;
    for (const std::string& text : log.at_level(2)) {
        nan_reported = nan_reported || text.find("engine clock gave") != std::string::npos;
        back_reported = back_reported || text.find("went back") != std::string::npos;
    }
    EXPECT_TRUE(nan_reported);
    EXPECT_TRUE(back_reported);
}

// ---- Handle states ----------------------------------------------------------------

TEST(EnginePredictionLog, WrittenOnlyWhenAskedForAndNeverIntoTheWorkingFolder) {
    char folder[] = "/tmp/kadenzo-engine-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder), 0);
    SharedClock clock;
    TempoMind_t* engine = nullptr;
    printed_by([&] { engine = tm_init_recorded(-1, 0, recorder_for(&clock)); });
    ASSERT_NE(engine, nullptr);
    std::FILE* log = std::tmpfile();
    tm_set_prediction_log(engine, log);
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.1, 0.1, 0.1};
    // What the consumer does with a fresh estimate, without a tracker step.
    meterticker_set_estimates(engine->ticker, periods, references);
    tm_set_prediction_log(engine, nullptr);
    stderr_of([&] { tm_close(engine); });
    EXPECT_FALSE(std::ifstream("beatpredictor.txt").good());
    EXPECT_EQ(chdir(previous), 0);
    rmdir(folder);
    std::fclose(log);
}

TEST_F(EngineInterface, StopThenCloseClosesEverythingOnce) {
    const LogCapture& log = log_;
    std::string err = stderr_of([&] { EXPECT_EQ(tm_stop(engine_), 0); });
    EXPECT_EQ(err, "Closing meterticker!\nClosing sequencer!\n");
    EXPECT_EQ(engine_->sequencer.load(), nullptr);
    EXPECT_EQ(engine_->ticker, nullptr);
    EXPECT_EQ(count(log, "TMMeterTicker: closed"), 1);
    EXPECT_EQ(count(log, "Sequencer: closed"), 1);

    err = stderr_of([&] { tm_close(engine_); });
    engine_ = nullptr;
    EXPECT_EQ(err, "Closing meterticker..\nClosing seq..\n");
    EXPECT_EQ(count(log, "TMMeterTicker: closed"), 1) << "nothing is closed twice";
    EXPECT_EQ(count(log, "Sequencer: closed"), 1);
}

TEST_F(EngineInterface, CallsOnAStoppedHandleAreAnsweredOrIgnored) {
    stderr_of([&] { tm_stop(engine_); });
    const LogCapture& log = log_;
    std::vector<float> block(128, 0.5f);
    tm_process_audio(block.data(), block.size(), engine_, 0.0);
    tm_start_sequencer(engine_);
    tm_register_gettime_cb(engine_, &clock_, &SharedClock::read);

    double bar = -1, beat = -1, tatum = -1;
    tm_get_meter_phases(engine_, &bar, &beat, &tatum);
    EXPECT_EQ(bar, 0.0);
    EXPECT_EQ(beat, 0.0);
    EXPECT_EQ(tatum, 0.0);
    EXPECT_EQ(tm_get_beat_phase(engine_), 0.0);
    EXPECT_EQ(tm_get_bpm(engine_), std::numeric_limits<double>::infinity());
    EXPECT_EQ(tm_get_input_level(engine_), -100.0);
    EXPECT_EQ(tm_get_nonbeatyness(engine_), 0.0);
    tm_set_anti_delay(engine_, 0.1);
    EXPECT_EQ(tm_get_anti_delay(engine_), 0.0);
    EXPECT_EQ(tm_change_half_time(engine_, 5.0), 0.0);
    tm_change_myyValues(engine_, 2.1, 0.55, 0.18);
    EXPECT_EQ(tm_register_phase_cb(engine_, 1, this, [](void*, double) {}), nullptr);
    tm_unregister_phase_cb(engine_, this);
    tm_send_midi_message(engine_, 0, 0, 60, 100);

    EXPECT_EQ(tm_enable_midiclock(engine_, 1), 1);
    EXPECT_EQ(tm_enable_midinote(engine_, 1), 1);
    EXPECT_EQ(tm_enable_midiphase(engine_, 1), 1);
    EXPECT_EQ(tm_send_test_midinote(engine_, 0), 1);
    EXPECT_EQ(tm_set_mididev(engine_, 0), 1);
    EXPECT_EQ(tm_get_current_mididev(engine_), -1);
    EXPECT_EQ(tm_get_mididev_list(engine_), nullptr);
    EXPECT_EQ(tm_reinit(engine_), 1);
    EXPECT_EQ(count(log, "MIDI clock fails - no MIDI"), 1);
    EXPECT_EQ(count(log, "MIDI note fails - no MIDI"), 3);
    EXPECT_EQ(stderr_of([&] { EXPECT_EQ(tm_stop(engine_), 0); }),
              "Closing meterticker!\nClosing sequencer!\n");
}

TEST_F(EngineInterface, RunStartsAFreshEngineAndRefusesARunningOne) {
    meterticker_state* const first = engine_->ticker;
    const LogCapture& log = log_;
    tm_run(engine_);  // still running: refused
    EXPECT_EQ(engine_->ticker, first);
    EXPECT_TRUE(log.contains(2, "tm_run: the engine is running; stop it first"));

    stderr_of([&] { tm_stop(engine_); });
    printed_by([&] { tm_run(engine_); });
    ASSERT_NE(engine_->sequencer.load(), nullptr);
    ASSERT_NE(engine_->ticker, nullptr);
    EXPECT_EQ(tm_get_current_mididev(engine_), 0) << "a new engine opens port 0";
    EXPECT_EQ(tm_get_bpm(engine_), std::numeric_limits<double>::infinity())
        << "estimates start over";
    EXPECT_EQ(engine_->ticker->clock.enabled.load(), 0) << "outputs start switched off";
    tm_register_gettime_cb(engine_, &clock_, &SharedClock::read);
    EXPECT_TRUE(log.contains(0, "sequencer started"));
}

TEST_F(EngineInterface, RunWithoutMidiKeepsAnalysisAndPhasesGoing) {
    // The MIDI ports are gone when the engine is restarted.
    stderr_of([&] { tm_stop(engine_); });
    engine_->recorder_port_names.clear();
    const LogCapture& log = log_;
    tm_run(engine_);
    ASSERT_NE(engine_->ticker, nullptr) << "the handle never keeps a closed ticker";
    EXPECT_EQ(meterticker_midi(engine_->ticker), nullptr);
    EXPECT_TRUE(log.contains(3, "No MIDI output available"));
    EXPECT_EQ(tm_get_current_mididev(engine_), -1);
    EXPECT_EQ(tm_get_mididev_list(engine_), nullptr);
    EXPECT_EQ(tm_enable_midiclock(engine_, 1), 1);
    EXPECT_EQ(tm_enable_midiphase(engine_, 1), 1);
    EXPECT_EQ(tm_set_mididev(engine_, 0), 1);
    EXPECT_TRUE(log.contains(3, "MIDI clock fails - no MIDI"));

    // Audio, estimates and phases still work.
    tm_register_gettime_cb(engine_, &clock_, &SharedClock::read);
    tm_start_sequencer(engine_);
    std::vector<float> block(128, 0.5f);
    tm_process_audio(block.data(), block.size(), engine_, 0.0);
    ASSERT_TRUE(wait_until([&] { return meterticker_tracker_samples(engine_->ticker) == 128; }));
    EXPECT_NEAR(tm_get_input_level(engine_), 10 * std::log10(0.5), 1e-6);
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    clock_.now = 10.0003;
    ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    ASSERT_TRUE(wait_until([&] { return meterticker_timer_aligned(engine_->ticker); }));
    clock_.now = 10.75;
    ASSERT_TRUE(wait_until(
        [&] { return engine_->ticker->levels[METERLEVEL_BEAT].tick_count.load() == 1; }));
    EXPECT_NEAR(tm_get_beat_phase(engine_), 1.5, 1e-9);
}

TEST_F(EngineInterface, ReinitReplacesTheTickerOnTheSameSequencerWithTheClockOn) {
    sequencer_state* const sequencer = engine_->sequencer.load();
    const double periods[METERLEVEL_COUNT] = {2.0, 0.5, 0.25};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    int result = 0;
    printed_by([&] { result = tm_reinit(engine_); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(engine_->sequencer.load(), sequencer);
    ASSERT_NE(engine_->ticker, nullptr);
    EXPECT_EQ(tm_get_bpm(engine_), std::numeric_limits<double>::infinity()) << "a new tracker";
    EXPECT_EQ(tm_get_current_mididev(engine_), 0);
    EXPECT_EQ(engine_->ticker->clock.enabled.load(), 1);
    EXPECT_EQ(engine_->ticker->clock.start_pending.load(), 1);
    EXPECT_EQ(bytes_of(take()), (std::vector<Bytes>{{0xFC}}));
}

TEST(EngineReinit, RunsOutOfConsumerSlotsWithoutStopping) {
    // The sequencer does not reuse consumer slots: after its 16 slots are
    // used, a re-initialised engine has no ticker but keeps answering.
    LogCapture capture;  // before the engine's threads exist
    const LogCapture& log = capture;
    SharedClock clock;
    TempoMind_t* engine = nullptr;
    printed_by([&] { engine = tm_init_recorded(-1, 0, recorder_for(&clock)); });
    ASSERT_NE(engine, nullptr);
    stderr_of([&] {
        printed_by([&] {
            for (int i = 1; i < SEQUENCER_MAX_CONSUMERS + 2; ++i) tm_reinit(engine);
        });
    });
    EXPECT_EQ(engine->ticker, nullptr);
    EXPECT_TRUE(log.contains(3, "TMMeterTicker: no free audio consumer slot"));
    EXPECT_EQ(tm_enable_midiclock(engine, 1), 1);
    EXPECT_EQ(tm_get_bpm(engine), std::numeric_limits<double>::infinity());
    std::vector<float> block(128, 0.5f);
    tm_process_audio(block.data(), block.size(), engine, 0.0);
    stderr_of([&] { tm_stop(engine); });
    printed_by([&] { tm_run(engine); });
    EXPECT_NE(engine->ticker, nullptr) << "a new sequencer has slots again";
    stderr_of([&] { tm_close(engine); });
}

}  // namespace
