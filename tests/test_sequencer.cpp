// The audio sequencer: acceptance and dropping of whole blocks, contiguous
// stretches across the end of the ring, time stamps, registration and
// removal of consumers, and a producer/consumer run checked sample by sample.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "sequencer.h"

namespace {

using namespace std::chrono_literals;

// Collects log lines of every level with the threads that logged them;
// safe across threads.
struct LogCapture {
    std::mutex m;
    std::vector<std::string> lines;
    std::vector<std::thread::id> threads;
    static void handler(int, void* udata, const char* format, va_list args) {
        char buf[256];
        std::vsnprintf(buf, sizeof buf, format, args);
        auto* self = static_cast<LogCapture*>(udata);
        std::lock_guard<std::mutex> g(self->m);
        self->lines.push_back(buf);
        self->threads.push_back(std::this_thread::get_id());
    }
    int count(const std::string& text) {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (const auto& l : lines) n += l == text;
        return n;
    }
    // Lines logged by the given thread.
    int countFrom(std::thread::id thread) {
        std::lock_guard<std::mutex> g(m);
        int n = 0;
        for (const auto& t : threads) n += t == thread;
        return n;
    }
    // Waits up to 5 s until the text has been logged n times.
    bool waitCount(const std::string& text, int n) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (count(text) < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
};

// A consumer that records every stretch and can be held inside its callback.
struct Recorder {
    struct Pass {
        int offset;  // position in the ring
        int count;
        double time;
        std::vector<float> samples;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Pass> passes;
    std::size_t delivered = 0;
    bool hold = false;  // the next call waits until released
    bool holding = false;
    int result = 0;
    const float* ring = nullptr;

    static int callback(const float* samples, int count, void* user, double time) {
        auto* self = static_cast<Recorder*>(user);
        std::unique_lock<std::mutex> g(self->m);
        if (self->hold) {
            self->holding = true;
            self->cv.notify_all();
            self->cv.wait(g, [&] { return !self->hold; });
            self->holding = false;
        }
        self->passes.push_back({static_cast<int>(samples - self->ring), count, time,
                                std::vector<float>(samples, samples + count)});
        self->delivered += count;
        self->cv.notify_all();
        return self->result;
    }
    void waitDelivered(std::size_t n) {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, 5s, [&] { return delivered >= n; }))
            << "delivered " << delivered << " of " << n;
    }
    void waitHolding() {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, 5s, [&] { return holding; }));
    }
    void setHold(bool h) {
        std::lock_guard<std::mutex> g(m);
        hold = h;
        cv.notify_all();
    }
};

class Sequencer : public ::testing::Test {
protected:
    void SetUp() override {
        tm_logmsg_handler = LogCapture::handler;
        tm_logmsg_handler_udata = &log;
        seq = init_sequencer();
        ASSERT_NE(seq, nullptr);
        start_sequencer(seq);
    }
    void TearDown() override {
        for (Recorder& r : recorders) {
            r.setHold(false);
            sequencer_audio_cons_rem(seq, Recorder::callback, &r);
        }
        close_sequencer(seq);
        tm_logmsg_handler = nullptr;
        tm_logmsg_handler_udata = nullptr;
    }
    // A recorder registered as a consumer; the fixture owns it so that it
    // outlives its consumer thread.
    Recorder& add() {
        Recorder& r = recorders.emplace_back();
        r.ring = seq->ring;
        EXPECT_EQ(sequencer_audio_cons_add(seq, Recorder::callback, &r), 0);
        return r;
    }
    // Pushes a block whose samples are their running index, stamped with the
    // stream time of its first sample (the stream starts at t0), and wakes
    // the consumers: the producer wakes them only once 2048 frames have come
    // in, and a test that waits for each small block would otherwise wait
    // for a consumer's wait slice every time.
    void push(int count) {
        std::vector<float> block(count);
        for (int i = 0; i < count; ++i) block[i] = static_cast<float>(written + i);
        sequencer_audio_cb(block.data(), count, seq, t0 + written / 44100.0);
        written += count;
        seq->data_ready.notify_all();
    }

    LogCapture log;
    sequencer_state* seq = nullptr;
    std::list<Recorder> recorders;
    double t0 = 5.0;
    long written = 0;
};

TEST_F(Sequencer, IdleConsumerAccepts127BlocksAndDropsThe128th) {
    Recorder& a = add();
    Recorder& b = add();
    a.setHold(true);
    b.setHold(true);
    push(128);  // the consumers take this block and stay in their callbacks
    a.waitHolding();
    b.waitHolding();
    for (int i = 1; i < 127; ++i) push(128);
    EXPECT_EQ(seq->write_position.load(), 127 * 128);
    EXPECT_EQ(sequencer_dropped_samples(seq), 0);
    EXPECT_EQ(log.count("Dropping audio, processing thread 0 too slow"), 0);

    const int pusherLinesBefore = log.countFrom(std::this_thread::get_id());
    push(128);
    EXPECT_EQ(seq->write_position.load(), 127 * 128) << "a dropped block writes nothing";
    EXPECT_EQ(sequencer_dropped_samples(seq), 128);
    // Each slow consumer's own thread says so, once it runs again: the
    // pushing (audio) thread logs nothing.
    a.setHold(false);
    b.setHold(false);
    EXPECT_TRUE(log.waitCount("Dropping audio, processing thread 0 too slow", 1));
    EXPECT_TRUE(log.waitCount("Dropping audio, processing thread 1 too slow", 1));
    EXPECT_EQ(log.countFrom(std::this_thread::get_id()), pusherLinesBefore);
}

TEST_F(Sequencer, BlockEndingAtRingEndIsOnePassAndStraddlingBlockTwo) {
    Recorder& r = add();
    for (int i = 0; i < 128; ++i) {  // 128 x 128 ends exactly at the end of the ring
        push(128);
        r.waitDelivered(written);
    }
    EXPECT_EQ(seq->write_position.load(), 0);
    EXPECT_EQ(r.passes.size(), 128u);
    EXPECT_EQ(r.passes.back().offset, 16384 - 128);
    EXPECT_EQ(r.passes.back().count, 128);

    const std::size_t before = r.passes.size();
    for (int i = 0; i < 16; ++i) {  // 16 x 1000 = 16000, then a block across the end
        push(1000);
        r.waitDelivered(written);
    }
    push(1000);
    r.waitDelivered(written);
    ASSERT_EQ(r.passes.size(), before + 18);
    EXPECT_EQ(r.passes[before + 16].offset, 16000);
    EXPECT_EQ(r.passes[before + 16].count, 384);
    EXPECT_EQ(r.passes[before + 17].offset, 0);
    EXPECT_EQ(r.passes[before + 17].count, 616);
    EXPECT_EQ(seq->write_position.load(), 616);

    // Every delivered sample is the one written, in order; every stretch is
    // stamped with the time of its first sample relative to the first block.
    long expected = 0;
    for (const auto& p : r.passes) {
        EXPECT_NEAR(p.time, expected / 44100.0, 1e-9) << "pass at sample " << expected;
        for (float v : p.samples) ASSERT_EQ(v, static_cast<float>(expected++));
    }
}

// A consumer still reading the end of one lap of the ring while the producer
// has already started the next must get the time stamps of the lap it reads.
TEST_F(Sequencer, TimeStampsStayRightWhileTheWriterIsALapAhead) {
    Recorder& r = add();
    for (int i = 0; i < 8; ++i) {
        push(1024);
        r.waitDelivered(written);
    }
    r.setHold(true);
    push(1024);  // [8192, 9216): the consumer waits inside its callback
    r.waitHolding();
    for (int i = 9; i < 20; ++i) push(1024);  // to the end of the ring and 4096 into the next lap
    EXPECT_EQ(sequencer_dropped_samples(seq), 0);
    r.setHold(false);
    r.waitDelivered(written);

    long expected = 0;
    for (const auto& p : r.passes) {
        EXPECT_NEAR(p.time, expected / 44100.0, 1e-9) << "pass at ring offset " << p.offset;
        for (float v : p.samples) ASSERT_EQ(v, static_cast<float>(expected++));
    }
    EXPECT_EQ(expected, written);
}

TEST_F(Sequencer, SameCallbackTwiceMakesTwoSlotsAndRemovalTakesBoth) {
    Recorder& r = add();
    ASSERT_EQ(sequencer_audio_cons_add(seq, Recorder::callback, &r), 0);
    Recorder& other = add();
    EXPECT_EQ(seq->consumer_count.load(), 3);
    push(100);
    r.waitDelivered(200);  // both slots deliver the block
    other.waitDelivered(100);

    const auto start = std::chrono::steady_clock::now();
    sequencer_audio_cons_rem(seq, Recorder::callback, &r);
    // Generous bound: only a hung join would exceed it.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(log.count("Sequencer: removing sequencer audio callback"), 2);
    EXPECT_TRUE(seq->consumers[0].removed.load());
    EXPECT_TRUE(seq->consumers[1].removed.load());
    EXPECT_FALSE(seq->consumers[2].removed.load());
    EXPECT_FALSE(seq->consumers[0].thread.joinable());

    push(100);
    other.waitDelivered(200);
    {
        std::lock_guard<std::mutex> g(r.m);
        EXPECT_EQ(r.delivered, 200u) << "removed slots receive nothing more";
    }
}

// A consumer whose callback asks to stop ends its thread; it must no longer
// hold back the writer, or every later block would be dropped.
TEST_F(Sequencer, ConsumerThatEndsItselfReleasesTheRing) {
    Recorder& quitter = add();
    {
        std::lock_guard<std::mutex> g(quitter.m);
        quitter.result = 1;
    }
    Recorder& worker = add();
    push(128);
    quitter.waitDelivered(128);
    worker.waitDelivered(128);
    for (int i = 0; i < 300; ++i) {  // well over one ring of audio
        push(128);
        worker.waitDelivered(written);
    }
    EXPECT_EQ(sequencer_dropped_samples(seq), 0);
    EXPECT_EQ(log.count("audio consumer callback returned: 1. Exiting processing thread."), 1);
    std::lock_guard<std::mutex> g(quitter.m);
    EXPECT_EQ(quitter.delivered, 128u);
}

TEST_F(Sequencer, EmptyBlocksAreIgnored) {
    Recorder& r = add();
    sequencer_audio_cb(nullptr, 0, seq, 1.0);
    EXPECT_EQ(seq->write_position.load(), 0);
    EXPECT_EQ(seq->started, 0);
    push(10);
    r.waitDelivered(10);
    EXPECT_EQ(r.passes.size(), 1u);
}

TEST_F(Sequencer, ClockIsZeroUntilInstalledThenTheCallbacksValue) {
    EXPECT_EQ(TMSeq_get_current_time(seq), 0.0);
    double now = 12345.678901234;  // well beyond single precision's millisecond range
    sequencer_register_gettime_cb(seq, &now, [](void* u) { return *static_cast<double*>(u); });
    EXPECT_EQ(TMSeq_get_current_time(seq), 12345.678901234);
}

TEST_F(Sequencer, TimeJumpAndStopBookkeeping) {
    sequencer_audio_cb(std::vector<float>(128).data(), 128, seq, 10.0);
    EXPECT_EQ(seq->time_base, 10.0);
    EXPECT_EQ(seq->time_jump, 0);
    sequencer_audio_cb(std::vector<float>(128).data(), 128, seq, 9.0);
    EXPECT_EQ(seq->time_jump, 1);
    EXPECT_NEAR(seq->block_end_time, 9.0 + 128 / 44100.0, 1e-12);
    stop_sequencer(seq);
    EXPECT_NEAR(seq->time_base, 10.0 - (9.0 + 128 / 44100.0), 1e-12);
    EXPECT_EQ(seq->block_end_time, 0.0);
}

// A real-time style run: the producer pushes blocks of varying size from its
// own thread while a consumer of uneven speed takes them. Every delivered
// sample must be the one written, in order, with exactly the dropped blocks
// missing. Run under ThreadSanitizer in CI.
TEST(SequencerStress, ProducerAndSlowConsumerLoseNothingButDroppedBlocks) {
    sequencer_state* seq = init_sequencer();
    ASSERT_NE(seq, nullptr);

    struct Sink {
        sequencer_state* seq = nullptr;
        std::atomic<bool> producing{true};
        std::vector<float> got;
        int calls = 0;
        static int cb(const float* s, int n, void* u, double) {
            auto* self = static_cast<Sink*>(u);
            self->got.insert(self->got.end(), s, s + n);
            // Every 50th call stalls until the producer has had to drop a
            // block: a stall of fixed length may outlast the ring or not,
            // depending on how fast a loaded machine lets the producer run.
            if (++self->calls % 50 == 5) {
                const auto before = sequencer_dropped_samples(self->seq);
                const auto until = std::chrono::steady_clock::now() + 1s;
                while (self->producing.load() && sequencer_dropped_samples(self->seq) == before &&
                       std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(1ms);
            }
            return 0;
        }
    } sink;
    sink.seq = seq;
    ASSERT_EQ(sequencer_audio_cons_add(seq, Sink::cb, &sink), 0);

    std::vector<float> accepted;
    std::thread producer([&] {
        std::mt19937 rng(11);
        std::vector<float> block(600);
        float next = 0;
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < end) {
            const int n = rng() % 3 == 0 ? 1 + static_cast<int>(rng() % 600) : 128;
            for (int i = 0; i < n; ++i) block[i] = next + i;
            const auto droppedBefore = sequencer_dropped_samples(seq);
            sequencer_audio_cb(block.data(), n, seq, next / 44100.0);
            if (sequencer_dropped_samples(seq) == droppedBefore)
                accepted.insert(accepted.end(), block.begin(), block.begin() + n);
            next += n;
            if (next > 8e6f) next = 0;  // stay within exact float integers
            std::this_thread::sleep_for(200us);
        }
    });
    producer.join();
    sink.producing.store(false);

    // Let the consumer drain what is left, then stop it.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (seq->consumers[0].read_position.load() != seq->write_position.load() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    sequencer_audio_cons_rem(seq, Sink::cb, &sink);

    EXPECT_GT(sequencer_dropped_samples(seq), 0) << "the stalls should have forced drops";
    ASSERT_EQ(sink.got.size(), accepted.size());
    for (std::size_t i = 0; i < accepted.size(); ++i) ASSERT_EQ(sink.got[i], accepted[i]) << i;
    close_sequencer(seq);
}

}  // namespace
