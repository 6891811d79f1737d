// The MIDI output driver used from several threads at once, as the engine
// does: the timer thread sends while the application changes ports and reads
// the recorded messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "midioutput.h"

namespace {

// Counts its readings, so record times show the order the sends took.
struct CountingClock {
    std::atomic<long> readings{0};
    static double read(void* user) {
        return static_cast<double>(static_cast<CountingClock*>(user)->readings.fetch_add(1));
    }
};

const char* const kPorts[] = {"Alpha", "Beta", nullptr};

midioutput_state* make_recorder(CountingClock* clock) {
    midioutput_recorder_config config;
    config.port_names = kPorts;
    config.clock = &CountingClock::read;
    config.clock_user = clock;
    return midioutput_init(&config);
}

// Opens without the printed line cluttering the test output.
int open_silently(midioutput_state* driver, int port) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    const int result = midioutput_open(driver, port);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return result;
}

TEST(MidiOutputThreads, RecordsReadWhileAnotherThreadSendsAreCompleteAndOrdered) {
    CountingClock clock;
    midioutput_state* driver = make_recorder(&clock);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(midioutput_open(driver, 0), 0);

    constexpr int kSends = 20000;
    std::thread timer([&] {
        for (int i = 0; i < kSends; ++i) {
            if (i % 24 == 0) {
                midioutput_send_ctrl(driver, 0, 65, i);
            } else {
                midioutput_send_clock(driver);
            }
        }
    });
    std::vector<midioutput_record> collected;
    while (collected.size() < static_cast<size_t>(kSends)) {
        std::vector<midioutput_record> part = midioutput_take_records(driver);
        midioutput_get_records(driver);  // a copy taken meanwhile must be safe too
        collected.insert(collected.end(), part.begin(), part.end());
        std::this_thread::yield();
    }
    timer.join();

    ASSERT_EQ(collected.size(), static_cast<size_t>(kSends));
    for (size_t i = 0; i < collected.size(); ++i) {
        ASSERT_EQ(collected[i].time, static_cast<double>(i)) << "record " << i;
        if (i % 24 == 0) {
            ASSERT_EQ(collected[i].bytes,
                      (std::vector<unsigned char>{0xB0, 65, static_cast<unsigned char>(i & 0xFF)}));
        } else {
            ASSERT_EQ(collected[i].bytes, (std::vector<unsigned char>{0xF8}));
        }
    }
    midioutput_free(driver);
}

TEST(MidiOutputThreads, PortChangesDuringSendsNeitherLoseOrderNorLeakSendsOnAClosedPort) {
    CountingClock clock;
    midioutput_state* driver = make_recorder(&clock);
    ASSERT_NE(driver, nullptr);

    std::atomic<bool> done{false};
    std::thread timer([&] {
        while (!done.load()) {
            midioutput_send_clock(driver);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    std::vector<midioutput_record> collected;
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(open_silently(driver, i % 2), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (i % 3 == 0) midioutput_reinitialize_devices(driver);
        midioutput_close(driver);
        ASSERT_EQ(midioutput_get_open_port(driver), -1);
        std::vector<midioutput_record> part = midioutput_take_records(driver);
        collected.insert(collected.end(), part.begin(), part.end());
        // Closed: the timer thread's sends are discarded from here on.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_TRUE(midioutput_get_records(driver).empty()) << "round " << i;
    }
    done.store(true);
    timer.join();

    EXPECT_FALSE(collected.empty());
    for (size_t i = 1; i < collected.size(); ++i) {
        ASSERT_LT(collected[i - 1].time, collected[i].time) << "records are kept in send order";
    }
    midioutput_free(driver);
}

}  // namespace
