// The audio interface on real PortAudio input through a JACK server of each
// test's own (dummy backend), feeding the fake engine (live_fake_engine.h):
// the stream clock and block stamps, the mix-down of the selected channels
// (with known signals played into the input ports by a client of the test),
// device selection and switching, and devices that fail to open or vanish.
#include <gtest/gtest.h>

#include <QString>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audiointerface.h"
#include "live_fake_engine.h"
#include "live_signal_recorder.h"
#include "live_test_support.h"
#include "qtempomind.h"

namespace {

using Strings = std::vector<std::string>;
using livetest::waitUntil;

const bool qtReady = [] {
    testing::AddGlobalTestEnvironment(new livetest::QtEnvironment);
    AudioInterface::setJackClientName("kadenzo-test");
    return true;
}();

class AudioJack : public testing::Test {
  protected:
    // Starts the server, then the facade (PortAudio lists the devices of
    // the server it finds at initialisation).
    void start(int rate = 44100, int captureChannels = 2) {
        std::string why;
        ASSERT_TRUE(server.start(&why, rate, captureChannels)) << why;
        fake::reset();
        facade = std::make_unique<QTempomind>();
        ASSERT_TRUE(facade->init());
        recorder = std::make_unique<livetest::SignalRecorder>(facade.get());
        audio = facade->audioInterface();
        fake::engine().clearCalls();
    }
    void TearDown() override {
        // Every PortAudio client goes before the server does.
        recorder.reset();
        facade.reset();
        server.stop();
    }
    std::size_t blocks() const { return fake::engine().blockCount.load(); }
    bool waitForBlocks(std::size_t more, double seconds = 5.0) {
        const std::size_t target = blocks() + more;
        return waitUntil([&] { return blocks() >= target; }, seconds);
    }
    // The PortAudio client's input ports, in order.
    std::vector<std::string> inputPorts(livetest::TestClient& client) {
        std::vector<std::string> ports;
        waitUntil([&] { return client.ports("kadenzo-test.*:in_").size() >= 2; }, 5.0);
        ports = client.ports("kadenzo-test.*:in_");
        std::sort(ports.begin(), ports.end());
        return ports;
    }

    livetest::JackServer server;
    std::unique_ptr<QTempomind> facade;
    std::unique_ptr<livetest::SignalRecorder> recorder;
    AudioInterface* audio = nullptr;
};

TEST_F(AudioJack, FirstSelectionStartsSequencerClockAndSwitchesThenAudioFlows) {
    start();
    ASSERT_EQ(*audio->getAudioDevList(), QList<QString>{"system"});
    EXPECT_EQ(audio->getAudioDevIndex(), 0);
    EXPECT_EQ(audio->getInputChannelAmount(0), 2);
    facade->setSendPhase(1);
    facade->enableMidiClockOutput(1);
    fake::engine().clearCalls();

    ASSERT_EQ(audio->selectAudioDev(0), 0) << audio->lastError().toStdString();
    EXPECT_EQ(fake::engine().calls(),
              (Strings{"tm_start_sequencer", "tm_register_gettime_cb", "tm_enable_midiclock 1",
                       "tm_enable_midinote 0", "tm_enable_midiphase 1"}));
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<unsigned char>{1, 0}));
    ASSERT_TRUE(waitForBlocks(200)) << "no audio blocks arrived";
    EXPECT_TRUE(recorder->errors.empty());
}

TEST_F(AudioJack, BlocksAreStampedWithTheTimeOfTheirFirstSampleOnTheEngineClock) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    ASSERT_TRUE(waitForBlocks(100));
    const auto wallStart = livetest::Clock::now();
    const double clockStart = fake::engine().readClock();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double clockEnd = fake::engine().readClock();
    const double wall = std::chrono::duration<double>(livetest::Clock::now() - wallStart).count();

    const std::vector<fake::Block> received = fake::engine().receivedBlocks();
    ASSERT_GT(received.size(), 600u);
    EXPECT_EQ(received[0].time, 0.0);
    double expected = 0.0;
    for (const fake::Block& block : received) {
        EXPECT_EQ(block.count, 128u);
        ASSERT_NEAR(block.time, expected, 1e-9);
        expected += block.count / 44100.0;
    }
    // The clock runs at the sample rate and reads the capture position: just
    // past the end of the newest block, never far from it.
    EXPECT_NEAR(clockEnd - clockStart, wall, 0.05 * wall);
    const double newestEnd = expected;
    const double now = fake::engine().readClock();
    const double after = fake::engine().blockCount.load() * 128 / 44100.0;
    EXPECT_GT(now, newestEnd - 0.02);
    EXPECT_LT(now, after + 0.05);
}

TEST_F(AudioJack, TheClockNeverGoesBackAcrossThreads) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    std::atomic<bool> backwards{false};
    auto reader = [&] {
        double previous = 0.0;
        const auto end = livetest::Clock::now() + std::chrono::milliseconds(1500);
        while (livetest::Clock::now() < end) {
            const double t = fake::engine().readClock();
            if (t < previous) backwards = true;
            previous = t;
        }
    };
    std::thread a(reader), b(reader);
    a.join();
    b.join();
    EXPECT_FALSE(backwards.load());
    EXPECT_GT(fake::engine().readClock(), 1.0);
}

TEST_F(AudioJack, SelectedChannelsAreMixedToMono) {
    start();
    livetest::TestClient player("kadenzo-player", 2, false);
    ASSERT_TRUE(player.ok());
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    const std::vector<std::string> inputs = inputPorts(player);
    ASSERT_EQ(inputs.size(), 2u);
    for (int c = 0; c < 2; ++c) {
        player.disconnect("system:capture_" + std::to_string(c + 1), inputs[c]);
        ASSERT_TRUE(player.connect(player.fullName("out_" + std::to_string(c)), inputs[c]));
    }
    player.playConstant({0.25f, 0.75f});

    struct Case {
        std::vector<int> flags;  // selection byte per channel
        float mono;
    };
    const std::vector<Case> cases = {
        {{1, 0}, 0.25f},  // as selected by the device switch: channel 0 only
        {{0, 1}, 0.75f},  // channel 1 only
        {{1, 1}, 0.5f},   // both: their mean
        {{0, 0}, 0.0f},   // none: silence
        {{2, 1}, 0.75f},  // only a flag of 1 mixes a channel in
    };
    for (const Case& c : cases) {
        for (int channel = 0; channel < 2; ++channel)
            audio->toggleChannel(channel, c.flags[channel]);
        auto steady = [&] {
            const std::vector<fake::Block> got = fake::engine().receivedBlocks();
            if (got.size() < 10) return false;
            for (std::size_t i = got.size() - 10; i < got.size(); ++i) {
                if (got[i].minimum != c.mono || got[i].maximum != c.mono) return false;
            }
            return true;
        };
        EXPECT_TRUE(waitUntil(steady, 5.0))
            << "selection " << c.flags[0] << "," << c.flags[1] << " never gave " << c.mono;
    }
    player.stop();
}

TEST_F(AudioJack, EachSelectionStartsWithChannelZeroOnly) {
    start(44100, 8);
    ASSERT_EQ(audio->getInputChannelAmount(0), 8);
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    const std::vector<unsigned char> channelZero = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(audio->getCurrentChannels(), channelZero);
    EXPECT_TRUE(audio->toggleChannel(7, 1));
    EXPECT_TRUE(audio->toggleChannel(0, 0));
    EXPECT_FALSE(audio->toggleChannel(8, 1));  // beyond the device
    EXPECT_FALSE(audio->toggleChannel(-1, 1));
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<unsigned char>{0, 0, 0, 0, 0, 0, 0, 1}));
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    EXPECT_EQ(audio->getCurrentChannels(), channelZero);
}

TEST_F(AudioJack, SwitchingStopsTheStreamBeforeTheEngineAndKeepsTheSwitches) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    facade->enableMidiClockOutput(1);
    facade->enableMidiNoteOutput(1);
    facade->setSendPhase(0);
    ASSERT_TRUE(waitForBlocks(100));
    const double clockBefore = fake::engine().readClock();
    fake::engine().clearCalls();
    const std::size_t before = blocks();

    ASSERT_EQ(audio->selectAudioDev(0), 0);
    EXPECT_EQ(fake::engine().calls(),
              (Strings{"tm_stop", "tm_run", "tm_register_gettime_cb", "tm_enable_midiclock 1",
                       "tm_enable_midinote 1", "tm_enable_midiphase 0"}));
    ASSERT_TRUE(waitForBlocks(100));
    const std::vector<fake::Block> received = fake::engine().receivedBlocks();
    for (const fake::Block& block : received) {
        EXPECT_FALSE(block.stopped) << "a block reached the engine while it was stopped";
    }
    // The new stream's clock starts again from its first sample.
    EXPECT_EQ(received[before].time, 0.0);
    EXPECT_GT(clockBefore, 0.2);
    EXPECT_LT(fake::engine().readClock(), clockBefore + 0.5);
}

TEST_F(AudioJack, AnIndexNotInTheListChangesNothing) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    fake::engine().clearCalls();
    EXPECT_EQ(audio->selectAudioDev(3), -1);
    EXPECT_EQ(audio->lastError(), "There is no audio input device number 3 (devices 0 to 0).");
    EXPECT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(fake::engine().calls(), Strings{});
    EXPECT_EQ(audio->getAudioDevIndex(), 0);
    EXPECT_TRUE(waitForBlocks(50)) << "the open stream must keep running";
}

TEST_F(AudioJack, DestroyingTheFacadeStopsAudioBeforeClosingTheEngine) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    ASSERT_TRUE(waitForBlocks(100));
    recorder.reset();
    facade.reset();
    EXPECT_EQ(fake::engine().calls().back(), "tm_close");
    // The engine could still read the clock while it closed: frozen at the
    // end of the stream, not garbage.
    const std::vector<fake::Block> received = fake::engine().receivedBlocks();
    const double lastEnd = received.back().time + received.back().count / 44100.0;
    EXPECT_GT(fake::engine().clockAtClose, lastEnd - 0.05);
    EXPECT_LT(fake::engine().clockAtClose, lastEnd + 0.1);
}

TEST_F(AudioJack, ADeviceThatFailsToOpenIsReportedAndTheEngineStillRuns) {
    start(48000);  // PortAudio's JACK input cannot run at 44100 Hz on this server
    ASSERT_FALSE(audio->getAudioDevList()->isEmpty());
    EXPECT_EQ(audio->selectAudioDev(0), -1);
    EXPECT_TRUE(audio->lastError().startsWith("Could not open the audio device \"system\": "))
        << audio->lastError().toStdString();
    EXPECT_EQ(recorder->errors.size(), 1u);
    EXPECT_FALSE(audio->isStreamOpen());
    EXPECT_EQ(fake::engine().calls(),
              (Strings{"tm_start_sequencer", "tm_register_gettime_cb", "tm_enable_midiclock 0",
                       "tm_enable_midinote 0", "tm_enable_midiphase 0"}));
    EXPECT_EQ(fake::engine().readClock(), 0.0);
    facade->updateOutputs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(blocks(), 0u);
    // A later selection stops and restarts the engine as usual.
    fake::engine().clearCalls();
    EXPECT_EQ(audio->selectAudioDev(0), -1);
    EXPECT_EQ(fake::engine().calls().front(), "tm_stop");
}

TEST_F(AudioJack, ADeviceThatVanishesIsReportedAndShutdownDoesNotHang) {
    start();
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    ASSERT_TRUE(waitForBlocks(100));
    server.stop();  // the audio system goes away under the running stream
    const bool reported = waitUntil(
        [&] {
            facade->updateOutputs();
            return !recorder->errors.empty();
        },
        6.0);
    ASSERT_TRUE(reported);
    EXPECT_EQ(recorder->errors.front(),
              "The audio device \"system\" stopped delivering audio (disconnected?).");
    // Reported once, however long the silence lasts.
    for (int i = 0; i < 20; ++i) facade->updateOutputs();
    EXPECT_EQ(recorder->errors.size(), 1u);
    // The level shows the silence of the lost input, not its last value.
    fake::engine().inputLevel = -12.0;
    recorder->clearValues();
    facade->updateOutputs();
    EXPECT_EQ(recorder->valuesOf("audioLevelChange"), std::vector<double>{-100.0});

    std::atomic<bool> closed{false};
    std::thread watchdog([&] {
        const auto end = livetest::Clock::now() + std::chrono::seconds(20);
        while (!closed.load() && livetest::Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!closed.load()) {
            std::fprintf(stderr, "shutting down after the device vanished hangs\n");
            std::_Exit(1);
        }
    });
    recorder.reset();
    facade.reset();
    closed = true;
    watchdog.join();
}

}  // namespace
