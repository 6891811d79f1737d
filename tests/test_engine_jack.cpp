// The whole engine on real MIDI: a JACK server of the test's own, the engine
// opened the way the application opens it (RtMidi's default API, which falls
// back to JACK here), its output connected to a JACK MIDI receiver, and the
// MIDI clock driven by a fixed tempo estimate on the steady clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "jack_midi_receiver.h"
#include "jack_server.h"
#include "jack_tsan_suppressions.h"
#include "midi_test_support.h"
#include "prediction.h"
#include "tempomind.h"

namespace {

using Receiver = jack_test::MidiReceiver;
using jack_test::SteadyClock;

// The engine clock: seconds since the test started.
struct Stopwatch {
    SteadyClock::time_point start = SteadyClock::now();
    static double read(void* user) {
        const auto* self = static_cast<Stopwatch*>(user);
        return std::chrono::duration<double>(SteadyClock::now() - self->start).count();
    }
};

std::vector<std::string> list_of(char** array) {
    std::vector<std::string> names;
    for (int i = 0; array && array[i]; ++i) names.emplace_back(array[i]);
    return names;
}

class EngineJack : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!server_.start(&why)) {
            GTEST_SKIP() << "no JACK server, skipping: " << why;
        }
    }
    void TearDown() override {
        if (engine_) {
            testing::internal::CaptureStderr();
            tm_close(engine_);
            testing::internal::GetCapturedStderr();
        }
        receiver_.reset();
        server_.stop();
    }

    jack_test::JackServer server_;
    std::unique_ptr<Receiver> receiver_;
    TempoMind_t* engine_ = nullptr;
};

TEST_F(EngineJack, StartClocksAndStopArriveWithTheirSpacing) {
    receiver_ = std::make_unique<Receiver>("kadenzo-engine-receiver");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    TEMPOMIND_ERROR_STATUS = 0;
    printed_by([&] { engine_ = tm_init(-1, 0); });
    ASSERT_NE(engine_, nullptr) << "status " << TEMPOMIND_ERROR_STATUS
                                << ": the engine must reach JACK's MIDI";
    const std::vector<std::string> ports = list_of(tm_get_mididev_list(engine_));
    const auto found = std::find(ports.begin(), ports.end(), receiver_->port_name());
    ASSERT_NE(found, ports.end()) << "the receiver is listed as a MIDI output port";
    int result = -1;
    printed_by([&] { result = tm_set_mididev(engine_, static_cast<int>(found - ports.begin())); });
    ASSERT_EQ(result, 0);
    ASSERT_EQ(tm_enable_midiclock(engine_, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the connection settles

    Stopwatch stopwatch;
    tm_register_gettime_cb(engine_, &stopwatch, &Stopwatch::read);
    const double beat = 0.5;  // 120 BPM
    const double periods[METERLEVEL_COUNT] = {4 * beat, beat, beat / 2};
    const double references[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    // A grid the tracker would have confirmed for a while: Start may use it.
    for (int i = 0; i <= METERTICKER_START_SETTLED_UPDATES; ++i)
        ASSERT_TRUE(meterticker_set_estimates(engine_->ticker, periods, references));
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    while (!meterticker_timer_aligned(engine_->ticker) && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(meterticker_timer_aligned(engine_->ticker));

    receiver_->collect_for(0.2);  // the Stops of the port change and of the switch
    const size_t before = receiver_->messages().size();
    ASSERT_EQ(tm_enable_midiclock(engine_, 1), 0);
    receiver_->collect_for(3.0);
    ASSERT_EQ(tm_enable_midiclock(engine_, 0), 0);
    receiver_->collect_for(0.2);

    const auto& all = receiver_->messages();
    ASSERT_GT(all.size(), before + 2);
    const std::vector<jack_test::ReceivedMessage> run(all.begin() + before, all.end());
    EXPECT_EQ(run.front().bytes, (std::vector<unsigned char>{0xFA})) << "Start comes first";
    EXPECT_EQ(run.back().bytes, (std::vector<unsigned char>{0xFC})) << "Stop comes last";
    std::vector<double> clocks;
    for (size_t i = 1; i + 1 < run.size(); ++i) {
        ASSERT_EQ(run[i].bytes, (std::vector<unsigned char>{0xF8})) << "message " << i;
        clocks.push_back(run[i].jack_time);
    }
    // Start, then the first Clock in the same pass, on a beat.
    ASSERT_GE(clocks.size(), 24u * 5);
    EXPECT_NEAR(clocks.front() - run.front().jack_time, 0.0, 0.0035);

    // 24 clocks per beat: the intervals average to a 24th of the beat, and
    // each one is within 2 ms of it on average (JACK delivers whole periods
    // of 128 frames, 2.9 ms).
    double sum = 0.0, deviation = 0.0;
    for (size_t i = 1; i < clocks.size(); ++i) {
        const double interval = clocks[i] - clocks[i - 1];
        sum += interval;
        deviation += std::fabs(interval - beat / 24);
    }
    const double n = static_cast<double>(clocks.size() - 1);
    EXPECT_NEAR(sum / n, beat / 24, 0.0005);
    EXPECT_LT(deviation / n, 0.002);
}

}  // namespace
