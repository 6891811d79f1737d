// Kadenzo's own JACK client on a JACK server of the test's own: audio
// delivered in whole analysis hops stamped with their frames, MIDI written
// at the frame of its time stamp (seen by a raw receiver), the MIDI driver
// on it, its own port, receivers that come and go, a server at another rate
// and a server that dies.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jack_raw_receiver.h"
#include "jack_server.h"
#include "jack_tsan_suppressions.h"
#include "jackclient.h"
#include "midioutput.h"

namespace {

using jack_test::JackServer;
using jack_test::RawEvent;
using jack_test::RawMidiReceiver;
using SteadyClock = std::chrono::steady_clock;

const double kRate = 44100.0;

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Frames from the first event on (the 32-bit clock's differences).
std::vector<std::int64_t> frames_from_first(const std::vector<RawEvent>& events) {
    std::vector<std::int64_t> frames;
    for (const RawEvent& e : events) {
        frames.push_back(static_cast<std::int32_t>(e.frame - events.front().frame));
    }
    return frames;
}

// A JACK client whose audio output carries the server's frame count (modulo
// 2^20, exact in single precision): every sample says which frame it is.
// In a cycle the server reports as overrun (a busy machine) the source may
// run late and write the counts of the next cycle.
class FrameCountSource {
  public:
    enum { kModulo = 1 << 20 };
    explicit FrameCountSource(const char* name) {
        client_ = jack_client_open(name, JackNoStartServer, nullptr);
        if (!client_) return;
        port_ = jack_port_register(client_, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client_, &FrameCountSource::write_frame_counts, this);
        if (!port_ || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~FrameCountSource() {
        closeJackClient(client_);
    }
    bool ok() const { return client_ != nullptr; }
    std::string port_name() const { return jack_port_name(port_); }

  private:
    static int write_frame_counts(jack_nframes_t nframes, void* self) {
        FrameCountSource* source = static_cast<FrameCountSource*>(self);
        float* out = static_cast<float*>(jack_port_get_buffer(source->port_, nframes));
        const jack_nframes_t start = jack_last_frame_time(source->client_);
        for (jack_nframes_t i = 0; i < nframes; ++i) {
            out[i] = static_cast<float>((start + i) % kModulo);
        }
        return 0;
    }
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
};

// What the audio sink saw, written on JACK's thread without allocating.
struct PieceLog {
    enum { kCapacity = 2000 };
    struct Piece {
        unsigned long frames;
        double time;
        float first;
        bool consecutive;
        bool gap;
    };
    Piece pieces[kCapacity];
    std::atomic<int> count{0};

    static void audio(const float* mono, unsigned long frames, double time, void* self) {
        PieceLog* log = static_cast<PieceLog*>(self);
        bool consecutive = true;
        for (unsigned long i = 1; i < frames; ++i) {
            const float expected = std::fmod(mono[i - 1] + 1.0f, float(FrameCountSource::kModulo));
            if (mono[i] != expected) consecutive = false;
        }
        log->add({frames, time, mono[0], consecutive, false});
    }
    static void gap(unsigned long frames, double time, void* self) {
        static_cast<PieceLog*>(self)->add({frames, time, 0.0f, true, true});
    }
    void add(const Piece& piece) {
        const int n = count.load(std::memory_order_relaxed);
        if (n >= kCapacity) return;
        pieces[n] = piece;
        count.store(n + 1, std::memory_order_release);
    }
};

// Every piece of audio follows the one before without a hole (a gap counts
// its frames), its first sample is the frame its time stamp names, and only
// a piece cut short by a gap is shorter than a hop. The samples' frame
// counts are judged only when the server reported no overrun cycle.
void expect_whole_hops_on_their_frames(const PieceLog& log, int at_least, bool overran) {
#if defined(__SANITIZE_THREAD__)
    // Under the race detector the clients are late in many cycles, and the
    // source then writes counts of another cycle: the race check is what
    // such a run is for.
    GTEST_SKIP() << "the frames of the audio are checked without the race detector";
#endif
    const int n = log.count.load(std::memory_order_acquire);
    ASSERT_GE(n, at_least);
    const PieceLog::Piece& first = log.pieces[0];
    ASSERT_FALSE(first.gap);
    EXPECT_EQ(first.time, 0.0);
    double expected_time = 0.0;
    for (int k = 0; k < n; ++k) {
        const PieceLog::Piece& p = log.pieces[k];
        EXPECT_NEAR(p.time, expected_time, 0.5 / kRate) << "piece " << k;
        expected_time = p.time + static_cast<double>(p.frames) / kRate;
        if (p.gap) continue;
        if (!overran) {
            EXPECT_TRUE(p.consecutive) << "piece " << k;
            const double frame = std::fmod(first.first + std::llround(p.time * kRate),
                                           double(FrameCountSource::kModulo));
            EXPECT_EQ(p.first, static_cast<float>(frame)) << "piece " << k;
        }
        const bool before_gap = k + 1 < n && log.pieces[k + 1].gap;
        if (!before_gap && k + 1 < n) {
            EXPECT_EQ(p.frames, static_cast<unsigned long>(JackEngineClient::kPieceFrames))
                << "piece " << k;
        }
    }
}

class JackClientTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!server_.start(&why)) GTEST_SKIP() << "no JACK server, skipping: " << why;
        std::string problem;
        client_ = JackEngineClient::open("kadenzo-under-test", &problem);
        ASSERT_NE(client_, nullptr) << problem;
        receiver_ = std::make_unique<RawMidiReceiver>("kadenzo-raw");
        ASSERT_TRUE(receiver_->ok());
    }
    void TearDown() override {
        midioutput_set_live_config(midioutput_live_config());
        receiver_.reset();
        client_.reset();
        server_.stop();
        server_.remove_traces();
    }
    // Starts the clock (no audio sink) and waits until it runs.
    void start_clock() {
        client_->start_input(nullptr, nullptr, nullptr);
        wait_for_clock();
    }
    void wait_for_clock() {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
        while (client_->engine_time() <= 0.0 && SteadyClock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_GT(client_->engine_time(), 0.0);
    }
    // Takes the source's audio into the log.
    void follow(const FrameCountSource& source, PieceLog* log) {
        std::string problem;
        ASSERT_TRUE(client_->set_inputs({source.port_name()}, &problem)) << problem;
        settle();
        client_->start_input(&PieceLog::audio, &PieceLog::gap, log);
    }
    // Connects the client's output to the raw receiver and waits until a
    // message gets through; the events seen so far are then skipped.
    void connect_receiver() {
        ASSERT_TRUE(receiver_->connect_from(client_->midi_port_name()));
        for (int attempt = 0; attempt < 100; ++attempt) {
            const unsigned char probe = 0xFE;
            client_->queue_midi(&probe, 1, MIDIOUTPUT_NOW);
            if (receiver_->wait_for(1, 0.05)) break;
        }
        ASSERT_GE(receiver_->count(), 1u);
        settle();
        skip_ = receiver_->count();
    }
    std::vector<RawEvent> received() const {
        std::vector<RawEvent> all = receiver_->events();
        return std::vector<RawEvent>(all.begin() + static_cast<std::ptrdiff_t>(skip_), all.end());
    }

    JackServer server_;
    std::unique_ptr<JackEngineClient> client_;
    std::unique_ptr<RawMidiReceiver> receiver_;
    std::size_t skip_ = 0;
};

// The engine is woken once per analysis hop, not once per cycle: the
// audio arrives in whole pieces of kPieceFrames, each stamped with the
// engine time of its first frame, one after the other without a hole.
TEST_F(JackClientTest, AudioArrivesInWholeHopsStampedWithTheirFrames) {
    FrameCountSource source("kadenzo-frame-source");
    ASSERT_TRUE(source.ok());
    auto log = std::make_unique<PieceLog>();
    follow(source, log.get());
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    client_->stop_input();

    // The receiver is told of every overrun cycle of the server.
    expect_whole_hops_on_their_frames(*log, 20, receiver_->xruns() > 0);
}

// The server changes its period while the client runs: the audio stays
// whole and on its frames, and messages queued across the change still go
// out at the frames of their stamps.
TEST_F(JackClientTest, APeriodChangeKeepsAudioAndMessagesOnTheirFrames) {
    FrameCountSource source("kadenzo-frame-source");
    ASSERT_TRUE(source.ok());
    auto log = std::make_unique<PieceLog>();
    follow(source, log.get());
    wait_for_clock();
    connect_receiver();

    const double start = client_->engine_time() + 0.2;
    const double interval = 60.0 / 120.0 / 24.0;
    const int count = 40;
    bool changed = false;
    for (int k = 0; k < count; ++k) {
        while (client_->engine_time() < start + k * interval - 0.05) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const unsigned char clock = 0xF8;
        ASSERT_TRUE(client_->queue_midi(&clock, 1, start + k * interval));
        if (k == count / 2 && !changed) {
            ASSERT_EQ(jack_set_buffer_size(client_->handle(), 256), 0);
            changed = true;
        }
    }
    const int xruns_before = receiver_->xruns();
    receiver_->wait_for(skip_ + count, 5.0);
    client_->stop_input();
    EXPECT_EQ(jack_get_buffer_size(client_->handle()), 256u);
    // The receiver is told of every overrun cycle of the server.
    expect_whole_hops_on_their_frames(*log, 20, receiver_->xruns() > 0);

    const std::vector<RawEvent> events = received();
    if (receiver_->xruns() != xruns_before) {
        // An overrun cycle (a busy machine) may lose its events.
        EXPECT_GE(events.size(), static_cast<std::size_t>(count * 9 / 10));
    } else {
        ASSERT_EQ(events.size(), static_cast<std::size_t>(count));
        const std::vector<std::int64_t> frames = frames_from_first(events);
        const std::int64_t first = std::llround(start * kRate);
        for (int k = 0; k < count; ++k) {
            EXPECT_EQ(frames[k], std::llround((start + k * interval) * kRate) - first)
                << "clock " << k;
        }
    }
}

TEST_F(JackClientTest, EveryMessageArrivesAtTheFrameOfItsTimeStamp) {
    start_clock();
    connect_receiver();
    // A clock at 120 BPM (24 per beat: 918.75 frames apart), stamps that
    // do not fall on whole frames, queued a few at a time ahead of their
    // time as the timer thread does.
    const double start = client_->engine_time() + 0.1;
    const double interval = 60.0 / 120.0 / 24.0;
    const int count = 200;
    std::vector<double> stamps;
    for (int k = 0; k < count; ++k) stamps.push_back(start + k * interval + 1e-5 * (k % 7));
    // Cycles the receiver missed while the messages went out count too.
    const int xruns_before = receiver_->xruns();
    int queued = 0;
    while (queued < count) {
        const double now = client_->engine_time();
        while (queued < count && stamps[queued] < now + 0.05) {
            const unsigned char clock = 0xF8;
            ASSERT_TRUE(client_->queue_midi(&clock, 1, stamps[queued]));
            ++queued;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const bool all = receiver_->wait_for(skip_ + count, 5.0);
    const std::vector<RawEvent> events = received();
    ASSERT_FALSE(events.empty());
    const std::vector<std::int64_t> frames = frames_from_first(events);
    const std::int64_t first = std::llround(stamps[0] * kRate);
    if (receiver_->xruns() == xruns_before) {
        // A server that kept up: every message, each at its exact frame.
        ASSERT_TRUE(all) << events.size() << " of " << count << " arrived";
        ASSERT_EQ(events.size(), static_cast<std::size_t>(count));
        for (int k = 0; k < count; ++k) {
            EXPECT_EQ(events[k].bytes[0], 0xF8);
            EXPECT_EQ(frames[k], std::llround(stamps[k] * kRate) - first) << "clock " << k;
        }
        EXPECT_EQ(client_->midi_late(), 0u);
    } else {
        // An overrun cycle (a busy machine) may lose its events or shift them
        // by a period (the frame clock jumps past their stamps, and they count
        // as late); the others stay exact.
        int exact = 0;
        std::size_t k = 0;
        for (std::size_t e = 0; e < events.size() && k < stamps.size(); ++e) {
            while (k < stamps.size() &&
                   frames[e] - (std::llround(stamps[k] * kRate) - first) > 128) {
                ++k;
            }
            if (k < stamps.size() && frames[e] == std::llround(stamps[k] * kRate) - first) ++exact;
            ++k;
        }
        EXPECT_GE(exact, count * 9 / 10) << "with " << receiver_->xruns() - xruns_before
                                          << " overruns";
        EXPECT_LE(client_->midi_late(), static_cast<std::uint64_t>(count - exact));
    }
}

TEST_F(JackClientTest, TheDriverOnTheClientPlacesStartAndClocksByTheirStamps) {
    midioutput_live_config config;
    config.jack = client_.get();
    midioutput_set_live_config(config);
    start_clock();
    midioutput_state* driver = midioutput_init();
    ASSERT_NE(driver, nullptr);
    int port = -1;
    char** names = midioutput_get_port_names(driver);
    for (int i = 0; names && names[i]; ++i) {
        if (receiver_->port_name() == names[i]) port = i;
    }
    ASSERT_GE(port, 0) << "the raw receiver is listed";
    ASSERT_EQ(midioutput_open(driver, port), 0);
    settle();
    for (int attempt = 0; attempt < 100 && receiver_->count() == 0; ++attempt) {
        const unsigned char probe = 0xFE;
        midioutput_send_msg(driver, &probe, 1);
        receiver_->wait_for(1, 0.05);
    }
    ASSERT_GE(receiver_->count(), 1u);
    settle();
    skip_ = receiver_->count();

    const double lead = midioutput_get_lead(driver);
    EXPECT_GE(lead, client_->period_frames() / kRate);
    const double start = client_->engine_time() + lead + 0.01;
    midioutput_send_start_at(driver, start);
    midioutput_send_clock_at(driver, start);
    for (int k = 1; k < 24; ++k) midioutput_send_clock_at(driver, start + k / 48.0);
    midioutput_send_stop_at(driver, start + 23 / 48.0);
    ASSERT_TRUE(receiver_->wait_for(skip_ + 26, 3.0));
    const std::vector<RawEvent> events = received();
    ASSERT_EQ(events.size(), 26u);
    const std::vector<std::int64_t> frames = frames_from_first(events);
    EXPECT_EQ(events[0].bytes[0], 0xFA);
    EXPECT_EQ(events[1].bytes[0], 0xF8);
    EXPECT_EQ(frames[1], 0) << "Start and the first Clock share their frame";
    for (int k = 1; k < 24; ++k) {
        EXPECT_EQ(frames[k + 1], std::llround((start + k / 48.0) * kRate) -
                                     std::llround(start * kRate))
            << "clock " << k;
    }
    EXPECT_EQ(events[25].bytes[0], 0xFC) << "Stop after the last Clock";
    EXPECT_EQ(frames[25], frames[24]);
    EXPECT_EQ(client_->midi_late(), 0u);
    midioutput_free(driver);
}

TEST_F(JackClientTest, AReceiverThatLeavesBlocksNothingAndSendsResumeWhenItReturns) {
    start_clock();
    connect_receiver();
    const std::string output = client_->midi_port_name();
    ASSERT_TRUE(receiver_->disconnect_from(output));
    settle();
    const std::size_t before = receiver_->count();
    // Far more than the queue holds: the callback goes on writing into the
    // unconnected port, so the queue never fills and no send waits.
    const auto began = SteadyClock::now();
    for (int k = 0; k < 3 * JackEngineClient::kQueueCapacity; ++k) {
        const unsigned char clock = 0xF8;
        client_->queue_midi(&clock, 1, MIDIOUTPUT_NOW);
        if (k % 512 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - began).count(), 5.0);
    settle();
    EXPECT_EQ(receiver_->count(), before);
    ASSERT_TRUE(receiver_->connect_from(output));
    settle();
    const double at = client_->engine_time() + 0.05;
    const unsigned char start = 0xFA;
    ASSERT_TRUE(client_->queue_midi(&start, 1, at));
    ASSERT_TRUE(receiver_->wait_for(before + 1, 2.0));
    EXPECT_EQ(receiver_->events().back().bytes[0], 0xFA);
}

TEST_F(JackClientTest, APortOfItsOwnCarriesTheNameGiven) {
    midioutput_live_config config;
    config.jack = client_.get();
    config.own_port = "clock-out";
    midioutput_set_live_config(config);
    midioutput_state* driver = midioutput_init();
    ASSERT_NE(driver, nullptr) << "no other port needs to exist";
    EXPECT_TRUE(midioutput_own_port_open(driver));
    const std::string full = "kadenzo-under-test:clock-out";
    EXPECT_EQ(client_->midi_port_name(), full);
    EXPECT_NE(jack_port_by_name(receiver_->client(), full.c_str()), nullptr);
    const int open = midioutput_get_open_port(driver);
    ASSERT_GE(open, 0);
    EXPECT_EQ(std::string(midioutput_get_port_names(driver)[open]), full);
    // Others connect to it, and re-listing keeps it open.
    start_clock();
    ASSERT_TRUE(receiver_->connect_from(full));
    midioutput_reinitialize_devices(driver);
    EXPECT_TRUE(midioutput_own_port_open(driver));
    for (int attempt = 0; attempt < 100 && receiver_->count() == 0; ++attempt) {
        midioutput_send_clock(driver);
        receiver_->wait_for(1, 0.05);
    }
    EXPECT_GE(receiver_->count(), 1u);
    midioutput_free(driver);
}

TEST_F(JackClientTest, AServerThatDiesIsNoticedAtOnceAndNothingHangs) {
    start_clock();
    connect_receiver();
    const auto killed = SteadyClock::now();
    // SIGTERM: a server killed outright would keep its place in JACK's
    // registry of servers for ever (there are eight places).
    kill(server_.pid(), SIGTERM);
    while (!client_->server_gone() && SteadyClock::now() - killed < std::chrono::seconds(3)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(client_->server_gone());
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - killed).count(), 2.0);
    EXPECT_NE(client_->problem().find("JACK server stopped"), std::string::npos)
        << client_->problem();
    const unsigned char clock = 0xF8;
    EXPECT_FALSE(client_->queue_midi(&clock, 1, MIDIOUTPUT_NOW));
    const double frozen = client_->engine_time();
    EXPECT_EQ(client_->engine_time(), frozen);
    EXPECT_TRUE(client_->midi_destinations().empty());
    const auto closing = SteadyClock::now();
    client_.reset();
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - closing).count(), 2.0);
    server_.stop();
}

// A close that cannot finish (here: a server that no longer answers) keeps
// its caller no longer than the patience given, and completes once the
// server answers again.
TEST(JackClientClose, AServerThatDoesNotAnswerHoldsTheCloserOnlyForItsPatience) {
    JackServer server;
    std::string why;
    if (!server.start(&why)) GTEST_SKIP() << "no JACK server, skipping: " << why;
    jack_client_t* client = jack_client_open("kadenzo-closing", JackNoStartServer, nullptr);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(jack_activate(client), 0);
    kill(server.pid(), SIGSTOP);
    const auto closing = SteadyClock::now();
    EXPECT_FALSE(closeJackClient(client, std::chrono::milliseconds(200)));
    EXPECT_LT(std::chrono::duration<double>(SteadyClock::now() - closing).count(), 2.0);
    kill(server.pid(), SIGCONT);
    // The close left behind ends with the server's answer: a new client
    // can then be opened and closed in time.
    jack_client_t* next = nullptr;
    for (int attempt = 0; attempt < 50 && !next; ++attempt) {
        next = jack_client_open("kadenzo-after", JackNoStartServer, nullptr);
        if (!next) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(closeJackClient(next, std::chrono::seconds(5)));
    server.stop();
}

TEST(JackClientRate, AServerAtAnotherRateIsRefusedWithWhatToDo) {
    JackServer server;
    std::string why;
    if (!server.start(&why, 48000)) GTEST_SKIP() << "no JACK server, skipping: " << why;
    std::string problem;
    EXPECT_EQ(JackEngineClient::open("kadenzo-under-test", &problem), nullptr);
    EXPECT_NE(problem.find("48000 Hz"), std::string::npos) << problem;
    EXPECT_NE(problem.find("44100"), std::string::npos) << problem;
    EXPECT_TRUE(JackEngineClient::server_running());
    server.stop();
}

TEST(JackClientNoServer, OpeningWithoutAServerSaysSoInOneLine) {
    setenv("JACK_DEFAULT_SERVER", "kadenzo-no-such-server", 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    std::string problem;
    EXPECT_EQ(JackEngineClient::open("kadenzo-under-test", &problem), nullptr);
    EXPECT_EQ(problem, "no JACK server is running");
    EXPECT_FALSE(JackEngineClient::server_running());
}

}  // namespace
