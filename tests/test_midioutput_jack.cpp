// The MIDI output driver on real MIDI: each test runs its own JACK server
// (dummy backend, unique name), receivers listening through RtMidi's JACK
// input, and the driver in its live configuration (default API, falling back
// to JACK when there is no ALSA sequencer).
#include <RtMidi.h>
#include <jack/jack.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jack_midi_receiver.h"
#include "jack_server.h"
#include "jack_tsan_suppressions.h"
#include "midi_test_support.h"
#include "midioutput.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

using jack_test::JackServer;
using Receiver = jack_test::MidiReceiver;

std::vector<std::string> port_names(midioutput_state* driver) {
    std::vector<std::string> names;
    char** array = midioutput_get_port_names(driver);
    for (int i = 0; array && array[i]; ++i) names.emplace_back(array[i]);
    return names;
}

int index_of(const std::vector<std::string>& names, const std::string& name) {
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

// Output ports of JACK clients whose name starts with the driver's client
// name: whether the driver holds a JACK port now.
bool driver_port_exists() {
    RtMidiIn probe(RtMidi::UNIX_JACK, "kadenzo-probe");
    const unsigned int count = probe.getPortCount();
    for (unsigned int i = 0; i < count; ++i) {
        if (probe.getPortName(i).rfind("kadenzo-midi:midi_out", 0) == 0) return true;
    }
    return false;
}

// Lets JACK apply a graph change (a client or port coming or going).
void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

class MidiOutputJack : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!server_.start(&why))
            GTEST_SKIP() << "no JACK server, skipping: " << why;
    }
    void TearDown() override {
        midioutput_free(driver_);
        receivers_.clear();
        server_.stop();
        server_.remove_traces();
    }
    Receiver& add_receiver(const std::string& client) {
        receivers_.push_back(std::make_unique<Receiver>(client));
        return *receivers_.back();
    }
    void create_driver() {
        driver_ = midioutput_init();
        ASSERT_NE(driver_, nullptr) << "the driver must find the receivers' JACK ports";
    }
    // Waits until the open port demonstrably delivers to the receiver: a new
    // JACK client that is slow in its first cycles (sanitizer builds) can
    // lose what is sent then.
    void wait_until_connected(Receiver& receiver) {
        for (int attempt = 0; attempt < 50; ++attempt) {
            midioutput_send_msg(driver_, &Receiver::kProbe, 1);
            if (receiver.probe_arrived(0.1)) return;
        }
        FAIL() << "nothing sent arrives at " << receiver.port_name();
    }
    int open(int port, std::string* printed = nullptr) {
        int result = -1;
        const std::string text = printed_by([&] { result = midioutput_open(driver_, port); });
        if (printed) *printed = text;
        return result;
    }

    JackServer server_;
    std::vector<std::unique_ptr<Receiver>> receivers_;
    midioutput_state* driver_ = nullptr;
};

TEST_F(MidiOutputJack, StartClocksAndStopArriveInOrderOnThePortOpened) {
    Receiver& receiver = add_receiver("kadenzo-receiver");
    settle();
    create_driver();
    const int port = index_of(port_names(driver_), receiver.port_name());
    ASSERT_GE(port, 0) << "the receiver is listed as an output port";

    std::string printed;
    ASSERT_EQ(open(port, &printed), 0);
    EXPECT_EQ(printed,
              "midioutput: opening port " + std::to_string(port) + ": kadenzo-receiver:in\n");
    EXPECT_EQ(midioutput_get_open_port(driver_), port);
    wait_until_connected(receiver);

    std::vector<Bytes> expected = {{0xFA}};
    midioutput_send_start(driver_);
    for (int i = 0; i < 48; ++i) {
        midioutput_send_clock(driver_);
        expected.push_back({0xF8});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    midioutput_send_ctrl(driver_, 16, 64, 300);
    expected.push_back({0xB0, 64, 44});
    midioutput_send_stop(driver_);
    expected.push_back({0xFC});

    EXPECT_EQ(receiver.wait_for(expected.size()), expected);
}

// The window's "create a port" and live's new:NAME on RtMidi: a port others
// connect to, listed last and open, that delivers once connected.
TEST_F(MidiOutputJack, APortOfItsOwnIsListedOpenAndDeliversOnceConnected) {
    Receiver& receiver = add_receiver("kadenzo-receiver");
    settle();
    create_driver();
    ASSERT_EQ(midioutput_open_own(driver_, "clock"), 0);
    EXPECT_TRUE(midioutput_own_port_open(driver_));
    const std::vector<std::string> names = port_names(driver_);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "kadenzo-midi:clock");
    EXPECT_EQ(midioutput_get_open_port(driver_), static_cast<int>(names.size()) - 1);

    // Another program connects the port to its input.
    jack_client_t* patchbay = jack_client_open("kadenzo-patchbay", JackNoStartServer, nullptr);
    ASSERT_NE(patchbay, nullptr);
    const int connected = jack_connect(patchbay, "kadenzo-midi:clock", receiver.port_name().c_str());
    jack_client_close(patchbay);
    ASSERT_EQ(connected, 0);
    wait_until_connected(receiver);
    midioutput_send_start(driver_);
    EXPECT_EQ(receiver.wait_for(1), (std::vector<Bytes>{{0xFA}}));
}

TEST_F(MidiOutputJack, SendsAfterClosingDoNotArriveAndThePortIsReleased) {
    Receiver& receiver = add_receiver("kadenzo-receiver");
    settle();
    create_driver();
    const int port = index_of(port_names(driver_), receiver.port_name());
    ASSERT_GE(port, 0);
    ASSERT_EQ(open(port), 0);
    EXPECT_TRUE(driver_port_exists());
    wait_until_connected(receiver);
    midioutput_send_start(driver_);
    ASSERT_EQ(receiver.wait_for(1), (std::vector<Bytes>{{0xFA}}));

    midioutput_close(driver_);
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    midioutput_send_clock(driver_);
    midioutput_send_stop(driver_);
    EXPECT_EQ(receiver.wait_for(2, 0.3), (std::vector<Bytes>{{0xFA}}));
    settle();
    EXPECT_FALSE(driver_port_exists());
}

TEST_F(MidiOutputJack, BadIndexesAreRefusedBeforeJackIsTouched) {
    add_receiver("kadenzo-receiver");
    settle();
    create_driver();
    const int count = midioutput_get_port_count(driver_);
    ASSERT_GE(count, 1);

    std::string printed;
    EXPECT_EQ(open(count, &printed), 1);
    EXPECT_EQ(printed, "Could not open midi output: MIDI port " + std::to_string(count) +
                           " is not in the list of " + std::to_string(count) + " ports\n");
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    settle();
    EXPECT_FALSE(driver_port_exists()) << "RtMidi would open an invalid index with a warning";

    EXPECT_EQ(open(-3, &printed), 0);
    EXPECT_EQ(printed, "midioutput: opening port 0: " + port_names(driver_)[0] + "\n");
    EXPECT_EQ(midioutput_get_open_port(driver_), 0);
    settle();
    EXPECT_TRUE(driver_port_exists());
}

TEST_F(MidiOutputJack, AStaleListOpensThePortItNamedAndReListingFollowsIt) {
    // Registered in this order, so JACK lists them in this order.
    auto first = std::make_unique<Receiver>("kadenzo-first");
    settle();
    Receiver& second = add_receiver("kadenzo-second");
    settle();
    Receiver& third = add_receiver("kadenzo-third");
    settle();
    create_driver();
    const std::vector<std::string> listed = port_names(driver_);
    const int first_index = index_of(listed, "kadenzo-first:in");
    const int second_index = index_of(listed, second.port_name());
    ASSERT_GE(first_index, 0);
    ASSERT_EQ(second_index, first_index + 1);
    ASSERT_EQ(index_of(listed, third.port_name()), first_index + 2);

    // The first receiver goes; in the system's list the second port now has
    // the first one's index and the third port the second's.
    first.reset();
    settle();

    std::string printed;
    EXPECT_EQ(open(first_index, &printed), 1);
    EXPECT_EQ(printed, "midioutput: opening port " + std::to_string(first_index) +
                           ": kadenzo-first:in\n"
                           "Could not open midi output: MIDI port kadenzo-first:in is no longer "
                           "available\n");

    ASSERT_EQ(open(second_index), 0);
    wait_until_connected(second);
    midioutput_send_start(driver_);
    EXPECT_EQ(second.wait_for(1), (std::vector<Bytes>{{0xFA}}));
    EXPECT_TRUE(third.wait_for(1, 0.2).empty()) << "the stale index must not reach its new owner";

    midioutput_reinitialize_devices(driver_);
    EXPECT_EQ(index_of(port_names(driver_), "kadenzo-first:in"), -1);
    EXPECT_EQ(midioutput_get_open_port(driver_), first_index) << "the open port follows its name";
    EXPECT_EQ(port_names(driver_)[first_index], second.port_name());
    midioutput_send_stop(driver_);
    EXPECT_EQ(second.wait_for(2), (std::vector<Bytes>{{0xFA}, {0xFC}}));
}

TEST_F(MidiOutputJack, WhenTheServerGoesSendsOpensAndClosesStillReturn) {
    LogCapture log;  // installed before JACK's threads exist, as the engine does
    add_receiver("kadenzo-receiver");
    settle();
    create_driver();
    ASSERT_EQ(open(0), 0);
    server_.stop();
    settle();

    // RtMidi's own send would wait for ever once its buffer (a few thousand
    // messages) is full; the driver must stop sending instead.
    for (int i = 0; i < 20000; ++i) midioutput_send_clock(driver_);
    EXPECT_EQ(open(0), 1);
    midioutput_reinitialize_devices(driver_);
    EXPECT_EQ(midioutput_get_port_count(driver_), 0);
    EXPECT_EQ(midioutput_get_open_port(driver_), -1);
    midioutput_close(driver_);
    bool reported = false;
    for (const std::string& text : log.at_level(3)) {
        reported = reported || text.find("MIDI output stopped") != std::string::npos;
    }
    EXPECT_TRUE(reported);
    receivers_.clear();  // before their server's resources are gone
}

}  // namespace
