// The engine facade and the audio interface on the real engine, with audio
// and MIDI through a JACK server of each test's own (dummy backend): the
// silence of the dummy capture reported once, and a device switch that
// restarts the engine with a fresh tracker and the output switches kept.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audiointerface.h"
#include "live_signal_recorder.h"
#include "live_test_support.h"
#include "qtempomind.h"
#include "tempomind.h"

namespace {

using livetest::waitUntil;

const bool qtReady = [] {
    testing::AddGlobalTestEnvironment(new livetest::QtEnvironment);
    AudioInterface::setJackClientName("kadenzo-test");
    return true;
}();

class EngineJack : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(server.start(&why)) << why;
        // The engine opens MIDI port 0: this client's input is the only one.
        sink = std::make_unique<livetest::TestClient>("kadenzo-sink", 0, true);
        ASSERT_TRUE(sink->ok());
        facade = std::make_unique<QTempomind>();
        ASSERT_TRUE(facade->init()) << "the engine did not start";
        recorder = std::make_unique<livetest::SignalRecorder>(facade.get());
        audio = facade->audioInterface();
    }
    void TearDown() override {
        recorder.reset();
        facade.reset();
        sink.reset();
        server.stop();
    }
    void poll(int milliseconds) { livetest::pollLikeTheWindow(*facade, milliseconds); }
    // MIDI messages with this status byte that arrived after the given count.
    int arrivedSince(std::size_t from, unsigned char status) const {
        const std::vector<livetest::MidiEvent> events = sink->midiEvents();
        int count = 0;
        for (std::size_t i = from; i < events.size(); ++i) {
            if ((events[i].bytes[0] & (status >= 0xF0 ? 0xFF : 0xF0)) == status) ++count;
        }
        return count;
    }

    livetest::JackServer server;
    std::unique_ptr<livetest::TestClient> sink;
    std::unique_ptr<QTempomind> facade;
    std::unique_ptr<livetest::SignalRecorder> recorder;
    AudioInterface* audio = nullptr;
};

TEST_F(EngineJack, DigitalSilenceIsReportedOnceWhileLevelsKeepComing) {
    ASSERT_EQ(audio->selectAudioDev(0), 0) << audio->lastError().toStdString();
    poll(2000);
    // The dummy backend captures digital silence: the engine's level and
    // non-beatyness stay at exactly -100 after the first block.
    EXPECT_EQ(recorder->valuesOf("nonBeatynessChange"), std::vector<double>{-100.0});
    const std::vector<double> levels = recorder->valuesOf("audioLevelChange");
    ASSERT_GT(levels.size(), 30u);
    for (double level : levels) EXPECT_EQ(level, -100.0);
    for (double phase : recorder->valuesOf("beatPhase")) {
        EXPECT_GE(phase, 0.0);
        EXPECT_LT(phase, 1.0);
    }
    EXPECT_TRUE(recorder->errors.empty());
}

TEST_F(EngineJack, SwitchingDevicesGivesAFreshTrackerAndKeepsTheSwitches) {
    ASSERT_EQ(audio->selectAudioDev(0), 0);
    TempoMind_t* engine = facade->engineHandle();
    // Even silence gives the tracker an estimate after a while.
    ASSERT_TRUE(waitUntil([&] { return std::isfinite(tm_get_bpm(engine)); }, 10.0))
        << "the tracker never produced an estimate";
    facade->enableMidiClockOutput(1);
    facade->enableMidiNoteOutput(0);
    facade->setSendPhase(1);

    ASSERT_EQ(audio->selectAudioDev(0), 0);
    EXPECT_TRUE(std::isinf(tm_get_bpm(engine))) << "the tracker was not restarted";
    const std::size_t atSwitch = sink->midiEvents().size();
    // The new ticker got the switches: phase controllers once the fresh
    // tracker has an estimate; no notes; the clock stays switched on but
    // waits for a steady beat, which the dummy capture's silence never has.
    EXPECT_TRUE(waitUntil([&] { return arrivedSince(atSwitch, 0xB0) > 0; }, 15.0))
        << "no phase controllers after the switch";
    poll(2000);
    EXPECT_EQ(arrivedSince(atSwitch, 0xFA), 0) << "a MIDI Start in silence";
    EXPECT_EQ(arrivedSince(atSwitch, 0xF8), 0);
    EXPECT_EQ(arrivedSince(atSwitch, 0x90), 0);
    EXPECT_TRUE(facade->getMidiClockEnabled());
    EXPECT_EQ(facade->getSendPhase(), 1);
}

}  // namespace
