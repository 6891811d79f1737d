// The MIDI output driver through its recording backend: message bytes, the
// closed-port rule, port indexes (bad, negative, stale), the printed and
// logged texts. One test reaches the real RtMidi backend with no MIDI system.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "midi_test_support.h"
#include "midioutput.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct ManualClock {
    double now = 0.0;
    static double read(void* user) { return static_cast<ManualClock*>(user)->now; }
};

const char* const kThreePorts[] = {"Alpha", "Beta", "Gamma", nullptr};

midioutput_state* make_recorder(ManualClock* clock, const char* const* ports = kThreePorts) {
    midioutput_recorder_config config;
    config.port_names = ports;
    config.clock = &ManualClock::read;
    config.clock_user = clock;
    return midioutput_init(&config);
}

std::vector<Bytes> recorded_bytes(midioutput_state* driver) {
    std::vector<Bytes> bytes;
    for (const midioutput_record& record : midioutput_get_records(driver)) {
        bytes.push_back(record.bytes);
    }
    return bytes;
}

std::vector<std::string> port_names(midioutput_state* driver) {
    std::vector<std::string> names;
    char** array = midioutput_get_port_names(driver);
    for (int i = 0; array[i]; ++i) names.emplace_back(array[i]);
    return names;
}

class MidiOutputRecorder : public testing::Test {
  protected:
    void SetUp() override {
        driver_ = make_recorder(&clock_);
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override { midioutput_free(driver_); }
    int open_quietly(int port) {
        int result = -1;
        printed_by([&] { result = midioutput_open(driver_, port); });
        return result;
    }

    ManualClock clock_;
    midioutput_state* driver_ = nullptr;
};

// ---- Message bytes --------------------------------------------------------

struct MessageCase {
    const char* what;
    std::function<void(midioutput_state*)> send;
    Bytes expected;
};

TEST_F(MidiOutputRecorder, EveryMessageKindHasItsBytesChannelModulo16AndLow8BitData) {
    const std::vector<MessageCase> cases = {
        {"note on",
         [](midioutput_state* d) { midioutput_send_note_on(d, 0, 64, 127); },
         {0x90, 64, 127}},
        {"note on, channel 17 and value 300",
         [](midioutput_state* d) { midioutput_send_note_on(d, 17, 300, 127); },
         {0x91, 44, 127}},
        {"note on, channel -1",
         [](midioutput_state* d) { midioutput_send_note_on(d, -1, 65, 1); },
         {0x9F, 65, 1}},
        {"note off",
         [](midioutput_state* d) { midioutput_send_note_off(d, 5, 65, 0); },
         {0x85, 65, 0}},
        {"note off, channel 31, note 322, velocity -1",
         [](midioutput_state* d) { midioutput_send_note_off(d, 31, 322, -1); },
         {0x8F, 66, 0xFF}},
        {"controller",
         [](midioutput_state* d) { midioutput_send_ctrl(d, 0, 64, 126); },
         {0xB0, 64, 126}},
        {"controller, channel 16, value 300",
         [](midioutput_state* d) { midioutput_send_ctrl(d, 16, 65, 300); },
         {0xB0, 65, 44}},
        {"controller, channel 33, controller 511, value 128",
         [](midioutput_state* d) { midioutput_send_ctrl(d, 33, 511, 128); },
         {0xB1, 0xFF, 0x80}},
        {"clock", [](midioutput_state* d) { midioutput_send_clock(d); }, {0xF8}},
        {"start", [](midioutput_state* d) { midioutput_send_start(d); }, {0xFA}},
        {"stop", [](midioutput_state* d) { midioutput_send_stop(d); }, {0xFC}},
        {"raw message of five bytes",
         [](midioutput_state* d) {
             const unsigned char sysex[] = {0xF0, 0x7D, 0x01, 0x02, 0xF7};
             midioutput_send_msg(d, sysex, 5);
         },
         {0xF0, 0x7D, 0x01, 0x02, 0xF7}},
    };
    ASSERT_EQ(open_quietly(0), 0);
    for (size_t i = 0; i < cases.size(); ++i) {
        clock_.now = 1.5 + 0.25 * static_cast<double>(i);
        cases[i].send(driver_);
    }
    const std::vector<midioutput_record> records = midioutput_get_records(driver_);
    ASSERT_EQ(records.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(records[i].bytes, cases[i].expected) << cases[i].what;
        EXPECT_EQ(records[i].time, 1.5 + 0.25 * static_cast<double>(i)) << cases[i].what;
    }
}

// Every send carries the engine-clock time its message belongs to; the
// recorder keeps it beside its own clock at the send. A message meant for
// "now" is stamped with that clock.
TEST_F(MidiOutputRecorder, MessagesKeepTheirTimeStampBesideTheClockAtTheSend) {
    ASSERT_EQ(open_quietly(0), 0);
    clock_.now = 3.0;
    const unsigned char sysex[] = {0xF0, 0x7D, 0xF7};
    const std::vector<std::pair<std::function<void(midioutput_state*)>, Bytes>> stamped = {
        {[](midioutput_state* d) { midioutput_send_start_at(d, 2.5); }, {0xFA}},
        {[](midioutput_state* d) { midioutput_send_clock_at(d, 2.5); }, {0xF8}},
        {[](midioutput_state* d) { midioutput_send_note_on_at(d, 1, 64, 100, 2.75); },
         {0x91, 64, 100}},
        {[](midioutput_state* d) { midioutput_send_note_off_at(d, 1, 64, 0, 2.875); },
         {0x81, 64, 0}},
        {[](midioutput_state* d) { midioutput_send_ctrl_at(d, 0, 65, 12, 2.9375); },
         {0xB0, 65, 12}},
        {[&](midioutput_state* d) { midioutput_send_msg_at(d, sysex, 3, 2.96875); },
         {0xF0, 0x7D, 0xF7}},
        {[](midioutput_state* d) { midioutput_send_stop_at(d, 3.25); }, {0xFC}},
    };
    for (const auto& send : stamped) send.first(driver_);
    const double stamps[] = {2.5, 2.5, 2.75, 2.875, 2.9375, 2.96875, 3.25};
    std::vector<midioutput_record> records = midioutput_take_records(driver_);
    ASSERT_EQ(records.size(), stamped.size());
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].bytes, stamped[i].second) << i;
        EXPECT_EQ(records[i].time, stamps[i]) << i;
        EXPECT_EQ(records[i].clock_time, 3.0) << i;
    }
    // A stamped Stop counts for the Stop rule like any other.
    midioutput_send_stop_at(driver_, 3.5);
    EXPECT_TRUE(midioutput_get_records(driver_).empty());
    // At once: the clock's time.
    midioutput_send_start(driver_);
    midioutput_send_msg_at(driver_, sysex, 3, MIDIOUTPUT_NOW);
    records = midioutput_take_records(driver_);
    ASSERT_EQ(records.size(), 2u);
    for (const midioutput_record& r : records) EXPECT_EQ(r.time, 3.0);
}

TEST_F(MidiOutputRecorder, EmptyOrMissingMessagesAreDiscarded) {
    ASSERT_EQ(open_quietly(0), 0);
    const unsigned char byte = 0xF8;
    midioutput_send_msg(driver_, &byte, 0);
    midioutput_send_msg(driver_, &byte, -3);
    midioutput_send_msg(driver_, nullptr, 1);
    EXPECT_TRUE(midioutput_get_records(driver_).empty());
}

TEST_F(MidiOutputRecorder, AStopIsNotRepeatedUntilAStartOrAnotherPort) {
    ASSERT_EQ(open_quietly(0), 0);
    midioutput_send_stop(driver_);
    midioutput_send_stop(driver_);
    midioutput_send_clock(driver_);
    midioutput_send_stop(driver_);
    midioutput_send_start(driver_);
    midioutput_send_stop(driver_);
    midioutput_send_stop(driver_);
    ASSERT_EQ(open_quietly(1), 0);  // a new port starts unstopped
    midioutput_send_stop(driver_);
    std::vector<Bytes> sent;
    for (const midioutput_record& r : midioutput_get_records(driver_)) sent.push_back(r.bytes);
    EXPECT_EQ(sent, (std::vector<Bytes>{{0xFC}, {0xF8}, {0xFA}, {0xFC}, {0xFC}}));
}

// ---- Closed port ----------------------------------------------------------

TEST_F(MidiOutputRecorder, SendsOnAClosedPortAreDiscarded) {
    EXPECT_EQ(midioutput_get_open_port(driver_), -1) << "no port is open after creation";
    midioutput_send_start(driver_);
    midioutput_send_note_on(driver_, 0, 64, 127);
    EXPECT_TRUE(midioutput_get_records(driver_).empty());

    ASSERT_EQ(open_quietly(1), 0);
    EXPECT_EQ(midioutput_get_open_port(driver_), 1);
    midioutput_send_clock(driver_);

    midioutput_close(driver_);
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    midioutput_send_clock(driver_);
    midioutput_send_ctrl(driver_, 0, 64, 10);
    midioutput_send_stop(driver_);
    EXPECT_EQ(recorded_bytes(driver_), (std::vector<Bytes>{{0xF8}}));

    ASSERT_EQ(open_quietly(2), 0) << "the driver stays usable after a close";
    midioutput_send_stop(driver_);
    EXPECT_EQ(recorded_bytes(driver_), (std::vector<Bytes>{{0xF8}, {0xFC}}));

    midioutput_close(driver_);
    midioutput_close(driver_);  // closing twice is harmless
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
}

TEST_F(MidiOutputRecorder, TakingRecordsEmptiesTheStore) {
    ASSERT_EQ(open_quietly(0), 0);
    midioutput_send_start(driver_);
    midioutput_send_clock(driver_);
    EXPECT_EQ(midioutput_take_records(driver_).size(), 2u);
    EXPECT_TRUE(midioutput_get_records(driver_).empty());
    midioutput_send_stop(driver_);
    EXPECT_EQ(recorded_bytes(driver_), (std::vector<Bytes>{{0xFC}}));
}

// ---- Port indexes and the printed lines -----------------------------------

struct OpenCase {
    int requested;
    int result;
    int open_port_after;  // port 1 is open before each case
    const char* printed;
};

TEST_F(MidiOutputRecorder, PortIndexesAreCheckedAndTheOpenLinesPrintedExactly) {
    const std::vector<OpenCase> cases = {
        {0, 0, 0, "midioutput: opening port 0: Alpha\n"},
        {2, 0, 2, "midioutput: opening port 2: Gamma\n"},
        {-5, 0, 0, "midioutput: opening port 0: Alpha\n"},
        {-1, 0, 0, "midioutput: opening port 0: Alpha\n"},
        {1, 0, 1, "midioutput: opening port 1: Beta\n"},
        {3, 1, 1, "Could not open midi output: MIDI port 3 is not in the list of 3 ports\n"},
        {INT_MAX, 1, 1,
         "Could not open midi output: MIDI port 2147483647 is not in the list of 3 ports\n"},
    };
    for (const OpenCase& c : cases) {
        ASSERT_EQ(open_quietly(1), 0);
        int result = -1;
        const std::string printed =
            printed_by([&] { result = midioutput_open(driver_, c.requested); });
        EXPECT_EQ(result, c.result) << "port " << c.requested;
        EXPECT_EQ(printed, c.printed) << "port " << c.requested;
        EXPECT_EQ(midioutput_get_open_port(driver_), c.open_port_after) << "port " << c.requested;

        // Whatever happened, sends go to the port that is open now.
        midioutput_take_records(driver_);
        midioutput_send_clock(driver_);
        EXPECT_EQ(midioutput_get_records(driver_).size(), 1u) << "port " << c.requested;
    }
}

TEST_F(MidiOutputRecorder, AFailedOpenWithNoPortOpenLeavesNoneOpen) {
    EXPECT_EQ(open_quietly(7), 1);
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    midioutput_send_start(driver_);
    EXPECT_TRUE(midioutput_get_records(driver_).empty());
}

TEST_F(MidiOutputRecorder, AStaleListStillOpensThePortTheCallerSawOrRefusesAGoneOne) {
    ASSERT_EQ(open_quietly(2), 0);
    // Alpha disappears; the driver's list (Alpha, Beta, Gamma) has not been
    // refreshed, so index 1 still means Beta although the system now lists
    // it first.
    const char* const now[] = {"Beta", "Gamma", nullptr};
    midioutput_recorder_set_ports(driver_, now);

    LogCapture log;
    int result = -1;
    std::string printed = printed_by([&] { result = midioutput_open(driver_, 1); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed, "midioutput: opening port 1: Beta\n");
    EXPECT_EQ(midioutput_get_open_port(driver_), 1);
    EXPECT_TRUE(log.contains(1, "midioutput: port Beta is now MIDI out#0"));

    printed = printed_by([&] { result = midioutput_open(driver_, 0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed,
              "midioutput: opening port 0: Alpha\n"
              "Could not open midi output: MIDI port Alpha is no longer available\n");
    EXPECT_EQ(midioutput_get_open_port(driver_), 1) << "a refused open changes nothing";
    EXPECT_EQ(port_names(driver_), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}))
        << "only a re-listing changes the list";
}

// ---- Re-listing -----------------------------------------------------------

TEST_F(MidiOutputRecorder, ReListingReplacesTheListAndTheOpenPortFollowsItsName) {
    ASSERT_EQ(open_quietly(1), 0);  // Beta
    const char* const moved[] = {"Zeta", "Alpha", "Beta", nullptr};
    midioutput_recorder_set_ports(driver_, moved);
    {
        LogCapture log;
        midioutput_reinitialize_devices(driver_);
        EXPECT_EQ(log.at_level(1), (std::vector<std::string>{
                                       "MIDI out#0: Zeta", "MIDI out#1: Alpha", "MIDI out#2: Beta",
                                       "midioutput: open port Beta is now "
                                       "MIDI out#2"}));
    }
    EXPECT_EQ(port_names(driver_), (std::vector<std::string>{"Zeta", "Alpha", "Beta"}));
    EXPECT_EQ(midioutput_get_port_count(driver_), 3);
    EXPECT_EQ(midioutput_get_port_names(driver_)[3], nullptr);
    EXPECT_EQ(midioutput_get_open_port(driver_), 2);
    midioutput_send_clock(driver_);
    EXPECT_EQ(midioutput_get_records(driver_).size(), 1u) << "the connection is kept";

    // Beta goes away: the open port is closed rather than left pointing at
    // whatever now has its index.
    const char* const gone[] = {"Zeta", "Alpha", nullptr};
    midioutput_recorder_set_ports(driver_, gone);
    {
        LogCapture log;
        midioutput_reinitialize_devices(driver_);
        EXPECT_TRUE(log.contains(2, "midioutput: open port Beta is no longer listed, closing it"));
    }
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    midioutput_send_clock(driver_);
    EXPECT_EQ(midioutput_get_records(driver_).size(), 1u);
    EXPECT_EQ(open_quietly(1), 0) << "Alpha";
}

TEST_F(MidiOutputRecorder, ReListingToNoPortsLeavesAnEmptyListAndRefusesOpens) {
    const char* const none[] = {nullptr};
    midioutput_recorder_set_ports(driver_, none);
    midioutput_reinitialize_devices(driver_);
    EXPECT_EQ(midioutput_get_port_count(driver_), 0);
    EXPECT_EQ(midioutput_get_port_names(driver_)[0], nullptr);
    int result = -1;
    const std::string printed = printed_by([&] { result = midioutput_open(driver_, -1); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed, "Could not open midi output: MIDI port 0 is not in the list of 0 ports\n");
}

TEST_F(MidiOutputRecorder, ReListingWithNoPortOpenKeepsNoneOpen) {
    midioutput_reinitialize_devices(driver_);
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    EXPECT_EQ(port_names(driver_), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
}

// ---- Creation, closing and their logged texts -----------------------------

TEST(MidiOutputCreation, ListsEveryPortAtNoticeLevelAndOpensNone) {
    LogCapture log;
    ManualClock clock;
    midioutput_state* driver = make_recorder(&clock);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(log.at_level(1), (std::vector<std::string>{"MIDI out#0: Alpha", "MIDI out#1: Beta",
                                                         "MIDI out#2: Gamma"}));
    EXPECT_TRUE(log.at_level(3).empty());
    EXPECT_EQ(port_names(driver), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
    EXPECT_EQ(midioutput_get_open_port(driver), -1);
    midioutput_free(driver);
}

TEST(MidiOutputCreation, WithNoPortsThereIsNoDriver) {
    const char* const none[] = {nullptr};
    for (const char* const* ports : {none, static_cast<const char* const*>(nullptr)}) {
        LogCapture log;
        ManualClock clock;
        EXPECT_EQ(make_recorder(&clock, ports), nullptr);
        EXPECT_EQ(log.at_level(3), (std::vector<std::string>{"No MIDI ports"}));
    }
}

TEST(MidiOutputCreation, PortNamesAreCopies) {
    char name[] = "Volatile";
    const char* const ports[] = {name, nullptr};
    ManualClock clock;
    midioutput_state* driver = make_recorder(&clock, ports);
    ASSERT_NE(driver, nullptr);
    name[0] = 'X';
    EXPECT_STREQ(midioutput_get_port_names(driver)[0], "Volatile");
    midioutput_free(driver);
}

TEST(MidiOutputCreation, WithNoClockRecordsAreStampedZero) {
    midioutput_recorder_config config;
    config.port_names = kThreePorts;
    midioutput_state* driver = midioutput_init(&config);
    ASSERT_NE(driver, nullptr);
    printed_by([&] { midioutput_open(driver, 0); });
    midioutput_send_clock(driver);
    const std::vector<midioutput_record> records = midioutput_get_records(driver);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].time, 0.0);
    midioutput_free(driver);
}

TEST_F(MidiOutputRecorder, ClosingLogsItsTextAndFreeingAnOpenDriverIsClean) {
    ASSERT_EQ(open_quietly(0), 0);
    LogCapture log;
    midioutput_close(driver_);
    EXPECT_TRUE(log.contains(0, "midioutput: closing port"));
    ASSERT_EQ(open_quietly(0), 0);  // TearDown frees a driver with an open port
}

TEST(MidiOutputNullDriver, EveryCallIsHarmless) {
    EXPECT_EQ(midioutput_open(nullptr, 0), 1);
    midioutput_close(nullptr);
    midioutput_send_clock(nullptr);
    midioutput_send_clock_at(nullptr, 1.0);
    midioutput_send_note_on(nullptr, 0, 64, 127);
    midioutput_reinitialize_devices(nullptr);
    EXPECT_EQ(midioutput_get_port_names(nullptr), nullptr);
    EXPECT_EQ(midioutput_get_port_count(nullptr), 0);
    EXPECT_EQ(midioutput_get_open_port(nullptr), -1);
    EXPECT_TRUE(midioutput_get_records(nullptr).empty());
    midioutput_free(nullptr);
}

// ---- The RtMidi backend with no MIDI system reachable ----------------------

TEST(MidiOutputRtMidi, WithoutAnyMidiSystemCreationFailsCleanly) {
    // A JACK server name nobody runs; no server may be started for us.
    const std::string server = "kadenzo-absent-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    LogCapture log;
    midioutput_state* driver = nullptr;
    EXPECT_NO_THROW(driver = midioutput_init());
    if (driver) {
        // A machine with an ALSA sequencer has ports of its own.
        EXPECT_GT(midioutput_get_port_count(driver), 0);
        midioutput_free(driver);
        GTEST_SKIP() << "this machine has a MIDI system without JACK (ALSA sequencer)";
    }
    const std::vector<std::string> errors = log.at_level(3);
    const bool reported =
        std::find(errors.begin(), errors.end(), "No MIDI ports") != errors.end() ||
        std::find(errors.begin(), errors.end(), "Midi output initialization failed") !=
            errors.end();
    EXPECT_TRUE(reported) << "an error naming the failure is logged";
}

}  // namespace
