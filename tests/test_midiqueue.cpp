// The stamped MIDI queue between the timer thread and an audio server's
// process callback, and the rule that places its messages in a cycle:
// without any audio server, cycle by cycle as a callback would drain it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "midiqueue.h"

namespace {

midiqueue_message message_at(std::int64_t frame, std::uint8_t status = 0xF8,
                             std::uint8_t data = 0) {
    midiqueue_message message;
    message.frame = frame;
    message.size = data ? 2 : 1;
    message.bytes[0] = status;
    message.bytes[1] = data;
    return message;
}

// What a cycle's buffer received: offset and first data byte per event.
struct Written {
    std::uint32_t offset;
    std::uint8_t status;
    std::uint8_t data;
    bool operator==(const Written& other) const {
        return offset == other.offset && status == other.status && data == other.data;
    }
};

// Drains one cycle into a buffer that takes at most room events.
midiqueue_drain_result drain_cycle(MidiQueue& queue, std::int64_t start, std::uint32_t nframes,
                                   std::vector<Written>* out, int room = 1000) {
    return midiqueue_drain(queue, start, nframes,
                           [&](std::uint32_t offset, const std::uint8_t* bytes, std::uint8_t size) {
                               if (static_cast<int>(out->size()) >= room) return false;
                               out->push_back({offset, bytes[0],
                                               static_cast<std::uint8_t>(size > 1 ? bytes[1] : 0)});
                               return true;
                           });
}

TEST(MidiQueue, KeepsOrderAndRefusesWhenFullWithoutLosingWhatItHolds) {
    MidiQueue queue(5);  // rounded up to 8
    ASSERT_EQ(queue.capacity(), 8u);
    // Several laps of the ring, so that the indices wrap.
    std::uint8_t next_in = 0, next_out = 0;
    for (int lap = 0; lap < 5; ++lap) {
        while (queue.push(message_at(lap, 0x90, static_cast<std::uint8_t>(next_in + 1)))) {
            ++next_in;
        }
        EXPECT_EQ(queue.size(), 8u);
        EXPECT_EQ(queue.overflows(), static_cast<std::uint64_t>(lap + 1));
        // Half of it read, the rest stays for the next lap.
        for (int i = 0; i < 5; ++i) {
            const midiqueue_message* front = queue.front();
            ASSERT_NE(front, nullptr);
            EXPECT_EQ(front->bytes[1], static_cast<std::uint8_t>(next_out + 1));
            ++next_out;
            queue.pop();
        }
    }
    while (const midiqueue_message* front = queue.front()) {
        EXPECT_EQ(front->bytes[1], static_cast<std::uint8_t>(next_out + 1));
        ++next_out;
        queue.pop();
    }
    EXPECT_EQ(next_out, next_in);
    queue.pop();  // on an empty queue: nothing
    EXPECT_EQ(queue.size(), 0u);
}

TEST(MidiQueue, RefusesMessagesThatAreNotOneToThreeBytes) {
    MidiQueue queue(4);
    midiqueue_message message = message_at(0);
    for (std::uint8_t size : {0, 4, 200}) {
        message.size = size;
        EXPECT_FALSE(queue.push(message)) << int(size);
    }
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(queue.overflows(), 0u);  // not a lack of room
}

TEST(MidiQueuePlacement, PlacesByDistanceFromTheCycleStart) {
    struct Case {
        std::int64_t frame;
        std::int64_t start;
        std::uint32_t nframes;
        std::uint32_t min_offset;
        bool placed;
        std::uint32_t offset;
        bool late;
    };
    const std::int64_t big = std::int64_t(1) << 40;  // beyond JACK's 32-bit frame clock
    const Case cases[] = {
        {1000, 1000, 128, 0, true, 0, false},          // at the first frame
        {1127, 1000, 128, 0, true, 127, false},        // the last frame of the cycle
        {1128, 1000, 128, 0, false, 0, false},         // the first frame of the next cycle
        {999, 1000, 128, 0, true, 0, true},            // one frame late
        {-5000, 1000, 128, 0, true, 0, true},          // far late
        {1010, 1000, 128, 40, true, 40, false},        // never before the one written last
        {900, 1000, 128, 40, true, 40, true},          // late, behind an earlier write
        {big + 77, big, 256, 0, true, 77, false},      // 64-bit frames
        {big + 256, big, 256, 0, false, 0, false},
        {MIDIQUEUE_NOW, 1000, 128, 0, true, 0, false},   // as soon as possible
        {MIDIQUEUE_NOW, 1000, 128, 90, true, 90, false},
    };
    for (const Case& c : cases) {
        std::uint32_t offset = 12345;
        bool late = false;
        const bool placed =
            midiqueue_place(c.frame, c.start, c.nframes, c.min_offset, &offset, &late);
        EXPECT_EQ(placed, c.placed) << c.frame << " in " << c.start << "+" << c.nframes;
        if (placed && c.placed) {
            EXPECT_EQ(offset, c.offset) << c.frame;
            EXPECT_EQ(late, c.late) << c.frame;
        }
    }
}

TEST(MidiQueueDrain, WritesEachMessageInItsCycleAtItsOffset) {
    // An independent oracle: the cycle and offset of every frame by division.
    const std::uint32_t nframes = 128;
    const std::int64_t first = 5000;
    MidiQueue queue(64);
    std::vector<std::int64_t> frames;
    for (int k = 0; k < 40; ++k) frames.push_back(first + 3 + k * 919 / 10);  // uneven spacing
    for (std::size_t k = 0; k < frames.size(); ++k) {
        ASSERT_TRUE(queue.push(message_at(frames[k], 0xF8, static_cast<std::uint8_t>(k + 1))));
    }
    std::vector<std::int64_t> received;
    for (std::int64_t start = first; queue.size() > 0; start += nframes) {
        std::vector<Written> written;
        const midiqueue_drain_result result = drain_cycle(queue, start, nframes, &written);
        EXPECT_EQ(result.late, 0);
        EXPECT_FALSE(result.full);
        EXPECT_EQ(result.written, static_cast<int>(written.size()));
        for (const Written& w : written) {
            const std::int64_t frame = frames[w.data - 1];
            EXPECT_EQ((frame - first) / nframes, (start - first) / nframes) << frame;
            EXPECT_EQ(w.offset, static_cast<std::uint32_t>((frame - first) % nframes)) << frame;
            received.push_back(start + w.offset);
        }
        ASSERT_LT(start, first + 100 * nframes);
    }
    EXPECT_EQ(received, frames);
}

TEST(MidiQueueDrain, LateAndOutOfOrderStampsAreNeitherDroppedNorReordered) {
    MidiQueue queue(16);
    // Due: late, late, in the cycle, earlier than the one before it, as soon
    // as possible, next cycle, and one stamped earlier behind that one.
    const std::int64_t frames[] = {100, 250, 310, 305, MIDIQUEUE_NOW, 450, 320};
    for (int k = 0; k < 7; ++k) {
        ASSERT_TRUE(queue.push(message_at(frames[k], 0xF8, static_cast<std::uint8_t>(k + 1))));
    }
    std::vector<Written> first_cycle;
    const midiqueue_drain_result result = drain_cycle(queue, 300, 128, &first_cycle);
    const std::vector<Written> expected = {
        {0, 0xF8, 1}, {0, 0xF8, 2}, {10, 0xF8, 3}, {10, 0xF8, 4}, {10, 0xF8, 5}};
    EXPECT_EQ(first_cycle, expected);
    EXPECT_EQ(result.late, 2);
    EXPECT_EQ(result.written, 5);
    // The message due in the next cycle holds back the one queued after it.
    std::vector<Written> second_cycle;
    const midiqueue_drain_result next = drain_cycle(queue, 428, 128, &second_cycle);
    const std::vector<Written> expected_next = {{22, 0xF8, 6}, {22, 0xF8, 7}};
    EXPECT_EQ(second_cycle, expected_next);
    EXPECT_EQ(next.late, 1);
    EXPECT_EQ(queue.size(), 0u);
}

TEST(MidiQueueDrain, AFullBufferKeepsTheRestQueuedForTheNextCycle) {
    MidiQueue queue(16);
    for (int k = 0; k < 6; ++k) {
        ASSERT_TRUE(queue.push(message_at(1000 + k, 0xF8, static_cast<std::uint8_t>(k + 1))));
    }
    std::vector<Written> written;
    const midiqueue_drain_result result = drain_cycle(queue, 1000, 128, &written, 4);
    EXPECT_TRUE(result.full);
    EXPECT_EQ(result.written, 4);
    EXPECT_EQ(queue.size(), 2u);
    std::vector<Written> rest;
    const midiqueue_drain_result next = drain_cycle(queue, 1128, 128, &rest);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].data, 5);
    EXPECT_EQ(rest[1].data, 6);
    EXPECT_EQ(rest[0].offset, 0u);  // late now, at the start
    EXPECT_EQ(next.late, 2);
}

TEST(MidiQueueThreads, OneProducerAndOneConsumerPassEveryMessageInOrder) {
    MidiQueue queue(32);  // small, so that the producer meets a full queue often
    const int total = 200000;
    std::atomic<bool> failed{false};
    std::thread producer([&] {
        for (int k = 0; k < total;) {
            midiqueue_message message = message_at(k, 0x90, static_cast<std::uint8_t>(k & 0x7F));
            message.size = 3;
            message.bytes[2] = static_cast<std::uint8_t>((k >> 7) & 0x7F);
            if (queue.push(message)) {
                ++k;
            } else {
                std::this_thread::yield();
            }
        }
    });
    int next = 0;
    std::int64_t cycle = 0;
    while (next < total) {
        midiqueue_drain(queue, cycle, 64,
                        [&](std::uint32_t offset, const std::uint8_t* bytes, std::uint8_t size) {
                            const int k = bytes[1] | (bytes[2] << 7);
                            if (size != 3 || k != (next & 0x3FFF) ||
                                offset != static_cast<std::uint32_t>(
                                              std::max<std::int64_t>(0, next - cycle))) {
                                failed.store(true);
                            }
                            ++next;
                            return true;
                        });
        cycle += 64;
        if (cycle > next + 64) cycle = next;  // the consumer waits for the producer
        std::this_thread::yield();
    }
    producer.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(next, total);
}

}  // namespace
