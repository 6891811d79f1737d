#include "midiqueue.h"

namespace {

std::size_t power_of_two_at_least(std::size_t n) {
    std::size_t size = 2;
    while (size < n) size *= 2;
    return size;
}

}  // namespace

MidiQueue::MidiQueue(std::size_t capacity) {
    const std::size_t size = power_of_two_at_least(capacity);
    ring_.reset(new midiqueue_message[size]);
    mask_ = size - 1;
}

bool MidiQueue::push(const midiqueue_message& message) {
    if (message.size < 1 || message.size > 3) return false;
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    if (tail - head > mask_) {
        overflows_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    ring_[tail & mask_] = message;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

const midiqueue_message* MidiQueue::front() const {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (tail_.load(std::memory_order_acquire) == head) return nullptr;
    return &ring_[head & mask_];
}

void MidiQueue::pop() {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    if (tail_.load(std::memory_order_acquire) == head) return;
    head_.store(head + 1, std::memory_order_release);
}

std::size_t MidiQueue::size() const {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return tail >= head ? static_cast<std::size_t>(tail - head) : 0;
}

bool midiqueue_place(std::int64_t frame, std::int64_t cycle_start, std::uint32_t nframes,
                     std::uint32_t min_offset, std::uint32_t* offset, bool* late) {
    if (frame == MIDIQUEUE_NOW) {
        *late = false;
        *offset = min_offset;
        return true;
    }
    const std::int64_t distance = frame - cycle_start;
    if (distance >= static_cast<std::int64_t>(nframes)) return false;
    *late = distance < 0;
    std::uint32_t at = distance < 0 ? 0u : static_cast<std::uint32_t>(distance);
    if (at < min_offset) at = min_offset;
    *offset = at;
    return true;
}
