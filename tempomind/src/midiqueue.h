// Time-stamped MIDI on its way from the timer thread to an audio server's
// process callback: a fixed-size single-producer, single-consumer queue of
// short messages with the frame each is due at, and the rule that places a
// queued message in a cycle.
//
// The queue is a ring of fixed records allocated at creation; push and the
// consumer's calls never allocate, lock or block, and order their copies
// with acquire/release (std::atomic), so they are correct on any processor
// and visible to the race detector. One thread pushes at a time (the MIDI
// driver serialises its senders), one thread consumes (the process callback).
//
// Placement, per cycle of nframes starting at frame cycle_start: a message
// due before the cycle (late) goes at offset 0 and is counted; one due within
// it goes at its offset; one due at or after its end stays queued, and so do
// all behind it. Offsets never decrease within a cycle: a message queued
// after another, but stamped earlier, goes at that one's offset, so nothing
// is ever reordered or dropped.
#ifndef KADENZO_MIDIQUEUE_H
#define KADENZO_MIDIQUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// The frame of a message meant to go out as soon as possible: at the start
// of the next cycle (after whatever is queued before it), never late.
inline constexpr std::int64_t MIDIQUEUE_NOW = INT64_MIN;

struct midiqueue_message {
    std::int64_t frame = 0;  // due at, on the consumer's 64-bit frame clock, or MIDIQUEUE_NOW
    std::uint8_t size = 0;   // 1 to 3
    std::uint8_t bytes[3] = {0, 0, 0};
};

class MidiQueue {
  public:
    // Room for capacity messages (rounded up to a power of two, at least 2).
    explicit MidiQueue(std::size_t capacity);
    MidiQueue(const MidiQueue&) = delete;
    MidiQueue& operator=(const MidiQueue&) = delete;

    // Producer. False when the queue is full (the message is not queued and
    // counted as an overflow) or the message is not 1 to 3 bytes.
    bool push(const midiqueue_message& message);

    // Consumer: the oldest message, or null when the queue is empty; pop
    // removes it.
    const midiqueue_message* front() const;
    void pop();

    // Either side: messages queued now (a snapshot), capacity, overflows.
    std::size_t size() const;
    std::size_t capacity() const { return mask_ + 1; }
    std::uint64_t overflows() const { return overflows_.load(std::memory_order_relaxed); }

  private:
    std::unique_ptr<midiqueue_message[]> ring_;
    std::size_t mask_ = 0;
    std::atomic<std::uint64_t> head_{0};  // next to read; written by the consumer
    std::atomic<std::uint64_t> tail_{0};  // next to write; written by the producer
    std::atomic<std::uint64_t> overflows_{0};
};

// Where a message due at frame goes in the cycle [cycle_start, cycle_start +
// nframes), no earlier than min_offset (the offset of the message written
// before it in this cycle, 0 for the first): true with the offset, and *late
// set when it was due before the cycle; false when it belongs to a later
// cycle.
bool midiqueue_place(std::int64_t frame, std::int64_t cycle_start, std::uint32_t nframes,
                     std::uint32_t min_offset, std::uint32_t* offset, bool* late);

// What one cycle's drain did.
struct midiqueue_drain_result {
    int written = 0;
    int late = 0;     // written at offset 0 although due before the cycle
    bool full = false;  // the writer refused a message: it stays for the next cycle
};

// Writes every message due in the cycle, in queue order, through
// write(offset, bytes, size) -> bool (false: the cycle's buffer is full; the
// message stays queued and the drain ends). Consumer only.
template <typename Writer>
midiqueue_drain_result midiqueue_drain(MidiQueue& queue, std::int64_t cycle_start,
                                       std::uint32_t nframes, Writer&& write) {
    midiqueue_drain_result result;
    std::uint32_t min_offset = 0;
    while (const midiqueue_message* message = queue.front()) {
        std::uint32_t offset = 0;
        bool late = false;
        if (!midiqueue_place(message->frame, cycle_start, nframes, min_offset, &offset, &late)) {
            break;
        }
        if (!write(offset, message->bytes, message->size)) {
            result.full = true;
            break;
        }
        min_offset = offset;
        result.written += 1;
        result.late += late ? 1 : 0;
        queue.pop();
    }
    return result;
}

#endif
