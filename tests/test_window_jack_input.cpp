// The window's audio input on Kadenzo's own JACK client (JackAudioInput),
// on the real engine, through a JACK server of each test's own: the sources
// it lists, the mix of the chosen channels reaching the engine on the
// client's frame clock, the engine's MIDI going out through the client's
// port, and a server that dies reported as an audio error; and the window
// program itself on a server without any MIDI receiver.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audiosystem.h"
#include "jackaudioinput.h"
#include "live_signal_recorder.h"
#include "live_test_support.h"
#include "qtempomind.h"
#include "tempomind.h"

namespace {

using livetest::waitUntil;

const bool qtReady = [] {
    testing::AddGlobalTestEnvironment(new livetest::QtEnvironment);
    return true;
}();

class WindowJackInput : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        ASSERT_TRUE(server.start(&why)) << why;
        source = std::make_unique<livetest::TestClient>("kadenzo-source", 2, false);
        sink = std::make_unique<livetest::TestClient>("kadenzo-sink", 0, true);
        ASSERT_TRUE(source->ok() && sink->ok());
        QString problem;
        std::unique_ptr<JackAudioInput> input = openJackInputFor(AudioSystem::Jack, &problem);
        ASSERT_TRUE(input) << problem.toStdString();
        jack = input.get();
        facade = std::make_unique<QTempomind>();
        facade->useAudioInput(std::move(input));
        // MIDI port 0 is the first JACK MIDI input: the sink's.
        ASSERT_TRUE(facade->init()) << "the engine did not start";
        recorder = std::make_unique<livetest::SignalRecorder>(facade.get());
        audio = facade->audio;
        ASSERT_EQ(audio, jack);
        EXPECT_EQ(facade->audioInterface(), nullptr) << "no PortAudio beside JACK";
    }
    void TearDown() override {
        recorder.reset();
        facade.reset();
        sink.reset();
        source.reset();
        server.stop();
    }
    void poll(int milliseconds) { livetest::pollLikeTheWindow(*facade, milliseconds); }
    int sourceIndex() { return audio->getAudioDevList()->indexOf(QStringLiteral("kadenzo-source")); }
    double lastLevel() {
        const std::vector<double> levels = recorder->valuesOf("audioLevelChange");
        return levels.empty() ? NAN : levels.back();
    }

    livetest::JackServer server;
    std::unique_ptr<livetest::TestClient> source;
    std::unique_ptr<livetest::TestClient> sink;
    std::unique_ptr<QTempomind> facade;
    std::unique_ptr<livetest::SignalRecorder> recorder;
    JackAudioInput* jack = nullptr;
    AudioInput* audio = nullptr;
};

TEST_F(WindowJackInput, FollowsTheChosenChannelsOfASourceOnTheClientsClockAndSendsThroughIt) {
    const QList<QString> names = *audio->getAudioDevList();
    ASSERT_EQ(names.value(0), QStringLiteral("system")) << "physical sources first";
    const int index = sourceIndex();
    ASSERT_GE(index, 0) << "the source is not listed";
    EXPECT_EQ(audio->getInputChannelAmount(index), 2);
    EXPECT_TRUE(audio->streamUsesJack());

    // Channel 1 carries a constant 0.5, channel 2 silence. The engine's level
    // is 10 log10 of the RMS: -3 dB for channel 1 alone, -6 dB for the mean
    // of both, digital silence (-100) for channel 2 alone.
    source->playConstant({0.5f, 0.0f});
    facade->startProcessing();
    ASSERT_EQ(audio->selectAudioDev(index), 0) << audio->lastError().toStdString();
    EXPECT_EQ(audio->getAudioDevIndex(), index);
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<unsigned char>{1, 0}));
    auto levelReaches = [&](double wanted) {
        return waitUntil(
            [&] {
                facade->updateOutputs();
                return std::abs(lastLevel() - wanted) <= 0.2;
            },
            5.0);
    };
    EXPECT_TRUE(levelReaches(10.0 * std::log10(0.5))) << "level " << lastLevel() << " dB";
    ASSERT_TRUE(audio->toggleChannel(1, 1));
    EXPECT_EQ(audio->getCurrentChannels(), (std::vector<unsigned char>{1, 1}));
    EXPECT_TRUE(levelReaches(10.0 * std::log10(0.25))) << "level " << lastLevel() << " dB";
    ASSERT_TRUE(audio->toggleChannel(0, 0));
    EXPECT_TRUE(levelReaches(-100.0)) << "level " << lastLevel() << " dB";
    EXPECT_FALSE(audio->toggleChannel(2, 1)) << "the source has two channels";

    // The engine clock is the client's frame count.
    poll(500);
    TempoMind_t* engine = facade->engineHandle();
    const double engineTime = tm_get_engine_time(engine);
    const double clientTime = jack->client().engine_time();
    EXPECT_GT(engineTime, 0.5);
    EXPECT_NEAR(engineTime, clientTime, 0.05);

    // The engine's MIDI leaves through the client's port, connected to the sink.
    facade->setSendPhase(1);
    const std::size_t before = sink->midiEvents().size();
    EXPECT_TRUE(waitUntil([&] { return sink->midiEvents().size() > before; }, 15.0))
        << "no phase controllers reached the sink";
    const std::vector<std::string> senders =
        sink->ports(jack->client().midi_port_name(), JackPortIsOutput);
    EXPECT_EQ(senders.size(), 1u) << "the client's MIDI port " << jack->client().midi_port_name();
    EXPECT_TRUE(jack_port_connected_to(jack_port_by_name(sink->client(), senders.at(0).c_str()),
                                       sink->fullName("midi_in").c_str()));
    EXPECT_TRUE(recorder->errors.empty());
}

// Choosing a source again restarts the engine, as on PortAudio (a new
// tracking model takes effect so): a fresh tracker, the clock from 0 on the
// client's frames again, the output switches kept.
TEST_F(WindowJackInput, ChoosingTheSourceAgainRestartsTheEngineWithTheSwitchesKept) {
    source->playConstant({0.5f, 0.0f});
    facade->startProcessing();
    const int index = sourceIndex();
    ASSERT_EQ(audio->selectAudioDev(index), 0) << audio->lastError().toStdString();
    TempoMind_t* engine = facade->engineHandle();
    ASSERT_TRUE(waitUntil([&] { return std::isfinite(tm_get_bpm(engine)); }, 10.0))
        << "the tracker never produced an estimate";
    facade->setSendPhase(1);
    poll(300);
    const double before = tm_get_engine_time(engine);

    ASSERT_EQ(audio->selectAudioDev(index), 0) << audio->lastError().toStdString();
    EXPECT_TRUE(std::isinf(tm_get_bpm(engine))) << "the tracker was not restarted";
    EXPECT_LT(tm_get_engine_time(engine), before) << "the clock did not start again";
    const std::size_t atSwitch = sink->midiEvents().size();
    EXPECT_TRUE(waitUntil([&] { return sink->midiEvents().size() > atSwitch; }, 15.0))
        << "no phase controllers after the restart";
    EXPECT_EQ(facade->getSendPhase(), 1);
    EXPECT_NEAR(tm_get_engine_time(engine), jack->client().engine_time(), 0.05);
    EXPECT_TRUE(recorder->errors.empty());
}

TEST_F(WindowJackInput, ASourceThatClosesIsAnAudioErrorOnce) {
    facade->startProcessing();
    ASSERT_EQ(audio->selectAudioDev(sourceIndex()), 0) << audio->lastError().toStdString();
    poll(300);
    source.reset();
    ASSERT_TRUE(waitUntil(
        [&] {
            facade->updateOutputs();
            return !recorder->errors.empty();
        },
        3.0))
        << "no audio error for a source that closed";
    EXPECT_EQ(recorder->errors, (std::vector<std::string>{
                                    "The audio source \"kadenzo-source\" is gone (its JACK "
                                    "client closed)."}));
    EXPECT_TRUE(audio->inputLost());
    EXPECT_EQ(audio->getAudioDevIndex(), -1) << "a source that left has no place in the list";
    poll(1500);
    EXPECT_EQ(recorder->errors.size(), 1u) << "reported once";
}

TEST_F(WindowJackInput, AServerThatDiesIsAnAudioErrorWithinTwoSeconds) {
    facade->startProcessing();
    ASSERT_EQ(audio->selectAudioDev(sourceIndex()), 0) << audio->lastError().toStdString();
    poll(300);
    ASSERT_FALSE(audio->inputLost());
    // SIGTERM: a server killed outright would keep its place in JACK's
    // registry of servers.
    const auto killed = livetest::Clock::now();
    kill(server.pid(), SIGTERM);
    ASSERT_TRUE(waitUntil(
        [&] {
            facade->updateOutputs();
            return !recorder->errors.empty();
        },
        2.0))
        << "no audio error within 2 s";
    EXPECT_LT(std::chrono::duration<double>(livetest::Clock::now() - killed).count(), 2.0);
    EXPECT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(recorder->errors.front().rfind("The JACK server stopped", 0), 0u)
        << recorder->errors.front();
    EXPECT_TRUE(audio->inputLost());
    poll(300);
    EXPECT_EQ(recorder->errors.size(), 1u) << "reported once";
}

#ifdef PULSORA_BINARY
// A rig that chose "create a port" last time has no receiver yet when the
// window starts: the window comes up on its own JACK client with that port,
// for the receivers to connect to, instead of the no-MIDI dialog.
TEST(WindowProgram, OnJackItStartsWithThePortOfItsOwnWhenNoReceiverExists) {
    livetest::JackServer server;
    std::string why;
    ASSERT_TRUE(server.start(&why)) << why;
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(QDir(config.path()).mkpath(QStringLiteral("Orvane")));
    std::ofstream(config.filePath(QStringLiteral("Orvane/Pulsora.conf")).toStdString())
        << "[Pulsora]\nMidiOwnPort=Pulsora\n";
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string log = config.filePath(QStringLiteral("pulsora.log")).toStdString();
    const pid_t window = jack_test::spawn({PULSORA_BINARY}, log);
    unsetenv("XDG_CONFIG_HOME");
    ASSERT_GT(window, 0);

    livetest::TestClient probe("kadenzo-probe", 0, false);
    ASSERT_TRUE(probe.ok());
    const bool ported = waitUntil([&] { return !probe.ports("pulsora:Pulsora").empty(); }, 15.0);
    const bool input = waitUntil([&] { return !probe.ports("pulsora:in_0").empty(); }, 5.0);
    jack_test::stop_process(window);
    EXPECT_TRUE(ported) << "no port pulsora:Pulsora; the window said:\n" << jack_test::file_text(log);
    EXPECT_TRUE(input) << "the audio input is not on the window's JACK client";
}
#endif

}  // namespace
