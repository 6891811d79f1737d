// The engine facade against a fake engine (live_fake_engine.h): the poll's
// signals and their order, the once-only non-beatyness rule, beats that
// follow a fake engine clock, the 30 ms poll timer, start-up failures, the
// commands forwarded to the engine, and the audio interface's mix-down and
// its behaviour when there is no audio device at all.
#include <gtest/gtest.h>

#include <QString>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audiointerface.h"
#include "live_fake_engine.h"
#include "live_signal_recorder.h"
#include "qtempomind.h"

namespace {

using Strings = std::vector<std::string>;

// No test here may find a JACK server: PortAudio then lists no devices.
const bool isolated = [] {
    setenv("JACK_DEFAULT_SERVER", "kadenzo-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    testing::AddGlobalTestEnvironment(new livetest::QtEnvironment);
    return true;
}();

class Facade : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        facade = std::make_unique<QTempomind>();
        ASSERT_TRUE(facade->init());
        recorder = std::make_unique<livetest::SignalRecorder>(facade.get());
        fake::engine().clearCalls();
    }
    void TearDown() override {
        recorder.reset();
        facade.reset();
    }
    void setPhases(double bar, double beat, double tatum) {
        fake::engine().bar = bar;
        fake::engine().beat = beat;
        fake::engine().tatum = tatum;
    }

    std::unique_ptr<QTempomind> facade;
    std::unique_ptr<livetest::SignalRecorder> recorder;
};

TEST_F(Facade, FirstPollBeforeAnyEstimateReportsEachLevelOnceInOrder) {
    // No estimate yet: the engine reports full phases of 1.0, silence.
    facade->updateOutputs();
    EXPECT_EQ(recorder->take(),
              (Strings{"barPhase 0", "beatPhase 0", "tatumPhase 0", "audioLevelChange -100",
                       "barFullPhase 1", "beatFullPhase 1", "tatumFullPhase 1", "bar 1", "beat 1",
                       "tatum 1"}));
    for (int poll = 0; poll < 5; ++poll) {
        facade->updateOutputs();
        EXPECT_EQ(recorder->take(),
                  (Strings{"barPhase 0", "beatPhase 0", "tatumPhase 0", "audioLevelChange -100",
                           "barFullPhase 1", "beatFullPhase 1", "tatumFullPhase 1"}));
    }
}

TEST_F(Facade, NonBeatynessComesBetweenFullPhasesAndBeats) {
    setPhases(2.25, 5.5, 11.75);
    fake::engine().inputLevel = -12.7;
    fake::engine().nonBeatyness = -12.7;
    facade->updateOutputs();
    EXPECT_EQ(recorder->take(),
              (Strings{"barPhase 0.25", "beatPhase 0.5", "tatumPhase 0.75", "audioLevelChange -12",
                       "barFullPhase 2.25", "beatFullPhase 5.5", "tatumFullPhase 11.75",
                       "nonBeatynessChange -12.7", "bar 1", "beat 1", "tatum 1"}));
}

TEST_F(Facade, NonBeatynessIsReportedOnlyWhenItChanges) {
    struct Case {
        std::vector<double> polled;
        std::vector<double> reported;
    };
    const std::vector<Case> cases = {
        {std::vector<double>(40, -100.0), {-100.0}},  // digital silence: once
        {std::vector<double>(5, 0.0), {}},            // the initial value: never
        {{-100.0, -100.0, -40.5, -40.5, -100.0, -100.0}, {-100.0, -40.5, -100.0}},
        {{-30.0, -30.25, -30.0}, {-30.0, -30.25, -30.0}},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        for (double value : c.polled) {
            fake::engine().nonBeatyness = value;
            facade->updateOutputs();
        }
        EXPECT_EQ(recorder->valuesOf("nonBeatynessChange"), c.reported);
    }
}

TEST_F(Facade, InputLevelIsTruncatedTowardZero) {
    const std::vector<std::pair<double, int>> cases = {
        {-12.7, -12},
        {-0.4, 0},
        {3.9, 3},
        {-100.0, -100},
        {-99.999, -99},
        {std::numeric_limits<double>::quiet_NaN(), -100},
        {-1e300, std::numeric_limits<int>::min()}};
    for (const auto& [level, db] : cases) {
        fake::engine().inputLevel = level;
        recorder->clearValues();
        facade->updateOutputs();
        EXPECT_EQ(recorder->valuesOf("audioLevelChange"), std::vector<double>{double(db)})
            << "level " << level;
    }
}

TEST_F(Facade, BeatsFollowTheEngineClockOnePerCrossing) {
    // A fake engine clock: no estimate until 1 s, then bar, beat and tatum
    // periods of 2, 0.5 and 0.25 s. Polls every 30 ms, offset so that no
    // poll falls exactly on a tick.
    const double firstEstimate = 1.0, pollStep = 0.03, pollOffset = 0.007;
    const double periods[3] = {2.0, 0.5, 0.25};
    const char* names[3] = {"bar", "beat", "tatum"};
    const int polls = 334;  // about 10 s
    std::vector<int> emittedAt[3];
    for (int k = 0; k < polls; ++k) {
        const double t = pollOffset + k * pollStep;
        double full[3];
        for (int level = 0; level < 3; ++level) {
            full[level] = t < firstEstimate ? 1.0 : 1.0 + (t - firstEstimate) / periods[level];
        }
        setPhases(full[0], full[1], full[2]);
        recorder->clearValues();
        facade->updateOutputs();
        for (int level = 0; level < 3; ++level) {
            if (!recorder->valuesOf(names[level]).empty()) emittedAt[level].push_back(k);
            EXPECT_LE(recorder->valuesOf(names[level]).size(), 1u);
        }
    }
    for (int level = 0; level < 3; ++level) {
        // The first poll, then the first poll at or after each tick instant.
        std::vector<int> expected = {0};
        for (int m = 1;; ++m) {
            const double tick = firstEstimate + m * periods[level];
            const int k = static_cast<int>(std::ceil((tick - pollOffset) / pollStep));
            if (k >= polls) break;
            expected.push_back(k);
        }
        EXPECT_EQ(emittedAt[level], expected) << names[level];
    }
}

TEST_F(Facade, SkippedTicksBetweenPollsAreReportedOnce) {
    setPhases(1.0, 1.0, 1.0);
    facade->updateOutputs();
    recorder->take();
    setPhases(1.5, 3.5, 7.25);  // the beat skipped two ticks, the tatum six
    facade->updateOutputs();
    recorder->clearValues();
    setPhases(1.75, 3.75, 7.5);  // no tick
    facade->updateOutputs();
    EXPECT_TRUE(recorder->valuesOf("bar").empty());
    EXPECT_TRUE(recorder->valuesOf("beat").empty());
    EXPECT_TRUE(recorder->valuesOf("tatum").empty());
    EXPECT_EQ(recorder->valuesOf("beatPhase"), std::vector<double>{0.75});
}

TEST_F(Facade, PollTimerRunsEveryThirtyMillisecondsUntilStopped) {
    facade->startProcessing();
    facade->startProcessing();  // a second start must not poll twice as often
    livetest::spinEvents(600);
    const int polled = fake::engine().polls;
    // 20 polls at 30 ms; generous bounds for a loaded machine, but twice the
    // rate (40) or no timer at all must fail.
    EXPECT_GE(polled, 8);
    EXPECT_LE(polled, 26);
    facade->stopProcessing();
    const int atStop = fake::engine().polls;
    livetest::spinEvents(200);
    EXPECT_EQ(fake::engine().polls, atStop);
    facade->startProcessing();
    livetest::spinEvents(200);
    EXPECT_GT(fake::engine().polls, atStop);
    facade->stopProcessing();
}

QString lastWarning;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg) lastWarning = message;
}

TEST(FacadeInit, FailureWritesTheReasonAndStillListsAudio) {
    const std::vector<std::pair<int, QString>> cases = {
        {3, "Error\nNo active MIDI devices found.\n"},
        {1, "Fatal: Failed to initialize tempomind.\n"},
        {11, "Fatal: Failed to initialize tempomind.\n"},
    };
    for (const auto& [status, text] : cases) {
        fake::reset();
        fake::engine().initFailure = status;
        lastWarning.clear();
        const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
        auto facade = std::make_unique<QTempomind>();
        const bool started = facade->init();
        qInstallMessageHandler(previous);
        EXPECT_FALSE(started);
        EXPECT_EQ(lastWarning, text);
        EXPECT_NE(facade->audioInterface(), nullptr);
        EXPECT_EQ(facade->engineHandle(), nullptr);
        EXPECT_EQ(fake::engine().calls(), Strings{"tm_init -1 -1"});
        // A facade without an engine keeps answering and sends nothing.
        facade->updateOutputs();
        facade->enableMidiClockOutput(1);
        EXPECT_TRUE(facade->getMidiClockEnabled());
        EXPECT_FALSE(facade->selectMidiDev(0));
        EXPECT_EQ(facade->getMidiDevIndex(), -1);
        EXPECT_TRUE(std::unique_ptr<QList<QString>>(facade->getMidiDevList())->isEmpty());
        facade.reset();
        EXPECT_EQ(fake::engine().calls(), Strings{"tm_init -1 -1"});
    }
}

TEST(FacadeInit, SuccessStartsTheEngineOnPortZeroAndClosesItAtTheEnd) {
    fake::reset();
    auto facade = std::make_unique<QTempomind>();
    EXPECT_TRUE(facade->init());
    EXPECT_NE(facade->engineHandle(), nullptr);
    EXPECT_EQ(fake::engine().calls(), (Strings{"tm_init -1 -1", "tm_disable_beat_printout"}));
    facade.reset();
    EXPECT_EQ(fake::engine().calls().back(), "tm_close");
}

TEST_F(Facade, CommandsReachTheEngine) {
    struct Case {
        std::function<void(QTempomind&)> command;
        Strings calls;
    };
    using F = QTempomind;
    const std::vector<Case> cases = {
        {[](F& f) { f.enableMidiClockOutput(2); }, {"tm_enable_midiclock 2"}},
        {[](F& f) { f.enableMidiNoteOutput(1); }, {"tm_enable_midinote 1"}},
        {[](F& f) { f.setSendPhase(1); }, {"tm_enable_midiphase 1"}},
        {[](F& f) { f.sendMidiTestNote(F::Bar); }, {"tm_send_test_midinote 0"}},
        {[](F& f) { f.sendMidiTestNote(F::Beat); }, {"tm_send_test_midinote 1"}},
        {[](F& f) { f.sendMidiTestNote(F::Tatum); }, {"tm_send_test_midinote 2"}},
        {[](F& f) { f.sendMidiTestNote(static_cast<F::MeterLevel>(3)); }, {}},
        {[](F& f) { f.sendMidiTestNote(static_cast<F::MeterLevel>(-1)); }, {}},
        {[](F& f) { f.changeHalfTime(7.5); }, {"tm_change_half_time 7.5"}},
        {[](F& f) { f.changeMyyValues(2.0, 0.5, 0.25); }, {"tm_change_myyValues 2 0.5 0.25"}},
        {[](F& f) { f.SetAntiDelay(0.045); }, {"tm_set_anti_delay 0.045"}},
        {[](F& f) { f.SendMidiMsg(0, 1, 64, 127); }, {"tm_send_midi_message 0 1 64 127"}},
        {[](F& f) { f.SendMidiMsg(1, 0, 65, 3); }, {"tm_send_midi_message 1 0 65 3"}},
        {[](F& f) { f.RegisterPhaseCallback(METERLEVEL_TATUM, &f, nullptr); },
         {"tm_register_phase_cb 2"}},
        {[](F& f) { f.UnregisterPhaseCallback(&f); }, {"tm_unregister_phase_cb"}},
        {[](F& f) { f.StopTempomind(); }, {"tm_stop"}},
        {[](F& f) { f.RunTempomind(); }, {"tm_run"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        fake::engine().clearCalls();
        cases[i].command(*facade);
        EXPECT_EQ(fake::engine().calls(), cases[i].calls) << "case " << i;
    }
    EXPECT_DOUBLE_EQ(facade->GetAntiDelay(), 0.045);
}

TEST_F(Facade, SwitchesAreRememberedAsTheyWereLastSet) {
    EXPECT_FALSE(facade->getMidiClockEnabled());
    EXPECT_FALSE(facade->getMidiNoteEnabled());
    facade->enableMidiClockOutput(5);
    facade->enableMidiNoteOutput(-1);
    facade->setSendPhase(1);
    EXPECT_TRUE(facade->getMidiClockEnabled());
    EXPECT_TRUE(facade->getMidiNoteEnabled());
    EXPECT_EQ(facade->getSendPhase(), 1);
    facade->enableMidiClockOutput(0);
    facade->enableMidiNoteOutput(0);
    EXPECT_FALSE(facade->getMidiClockEnabled());
    EXPECT_FALSE(facade->getMidiNoteEnabled());
}

TEST_F(Facade, MidiPortsAreListedAndSelected) {
    fake::engine().midiPorts = {"Port A", "Gerät \xC3\xBC"};  // UTF-8 text
    std::unique_ptr<QList<QString>> first(facade->getMidiDevList());
    std::unique_ptr<QList<QString>> second(facade->getMidiDevList());
    EXPECT_EQ(*first, (QList<QString>{"Port A", QString::fromUtf8("Gerät ü")}));
    EXPECT_NE(first.get(), second.get());  // each call gives the caller a list of its own
    EXPECT_TRUE(facade->selectMidiDev(1));
    EXPECT_EQ(facade->getMidiDevIndex(), 1);
    EXPECT_FALSE(facade->selectMidiDev(2));
    EXPECT_EQ(facade->getMidiDevIndex(), 1);
}

TEST_F(Facade, WithoutAudioDevicesSelectionFailsWithAMessageAndNothingElseChanges) {
    AudioInterface* audio = facade->audioInterface();
    ASSERT_NE(audio, nullptr);
    EXPECT_TRUE(audio->getAudioDevList()->isEmpty());
    EXPECT_EQ(audio->selectAudioDev(0), -1);
    EXPECT_EQ(audio->lastError(), "No audio input device available.");
    EXPECT_EQ(recorder->errors, Strings{"No audio input device available."});
    EXPECT_EQ(facade->lastAudioError(), "No audio input device available.");
    EXPECT_FALSE(audio->isStreamOpen());
    EXPECT_FALSE(audio->toggleChannel(0, 1));
    EXPECT_EQ(audio->getInputChannelAmount(0), 0);
    EXPECT_TRUE(audio->getCurrentChannels().empty());
    EXPECT_EQ(AudioInterface::GetStreamTime(audio), 0.0);
    // The engine was neither stopped nor restarted.
    EXPECT_EQ(fake::engine().calls(), Strings{});
    facade->updateOutputs();
    EXPECT_FALSE(recorder->take().empty());
}

TEST(MixDown, SelectedChannelsAreAveraged) {
    // Three stereo frames, left and right.
    const std::vector<float> stereo = {0.5f, 0.25f, -1.0f, 1.0f, 0.25f, -0.75f};
    struct Case {
        std::vector<int> selected;
        std::vector<float> mono;
    };
    const std::vector<Case> cases = {
        {{1}, {0.25f, 1.0f, -0.75f}},      // the right channel alone
        {{0}, {0.5f, -1.0f, 0.25f}},       // the left channel alone
        {{0, 1}, {0.375f, 0.0f, -0.25f}},  // both: their mean
        {{1, 0}, {0.375f, 0.0f, -0.25f}},  // order does not matter
        {{}, {0.0f, 0.0f, 0.0f}},          // none: silence
    };
    for (const Case& c : cases) {
        std::vector<float> mono(3, 99.0f);
        AudioInterface::mixToMono(stereo.data(), 3, 2, c.selected.data(),
                                  static_cast<int>(c.selected.size()), mono.data());
        EXPECT_EQ(mono, c.mono);
    }
    // Eight channels, two frames: channel c of frame i holds 10 i + c.
    std::vector<float> eight(16);
    for (int i = 0; i < 2; ++i)
        for (int c = 0; c < 8; ++c) eight[i * 8 + c] = 10.0f * i + c;
    const std::vector<int> selected = {0, 3, 7};
    std::vector<float> mono(2);
    AudioInterface::mixToMono(eight.data(), 2, 8, selected.data(), 3, mono.data());
    EXPECT_FLOAT_EQ(mono[0], (0.0f + 3.0f + 7.0f) / 3.0f);
    EXPECT_FLOAT_EQ(mono[1], (10.0f + 13.0f + 17.0f) / 3.0f);
}

}  // namespace
