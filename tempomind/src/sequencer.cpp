#include "sequencer.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <system_error>

#include "common.h"
#include "precondition.h"

namespace {

// Exit value of a consumer thread that was asked to stop by its removal.
const int kStoppedByRemoval = -1;

// A consumer waits in slices: a broadcast can fall between its check and its
// wait, and the producer wakes it only once at least this much audio has come
// in (46 ms at 44.1 kHz, in the JACK client's pieces of 512); whatever came in
// since is taken at a slice's end.
// Waking for every block (an analysis hop is 11.6 ms) made the wake-ups a
// large part of a running rig's CPU time, and the tracker's estimates only
// come every half second.
const auto kConsumerWaitSlice = std::chrono::milliseconds(50);
const unsigned long kWakeFrames = 2048;

double lap_time_for_read(const sequencer_state* seq, std::uint64_t lap) {
    return seq->lap_start_time[lap % 2].load(std::memory_order_acquire);
}

// One line for the blocks dropped for this consumer since the last one.
void report_dropped_blocks(sequencer_consumer* slot) {
    if (slot->unreported_drops.exchange(0, std::memory_order_relaxed) > 0)
        tm_logmsg(0, "Dropping audio, processing thread %d too slow", slot->index);
}

void consumer_thread(sequencer_consumer* slot) {
    sequencer_state* seq = slot->seq;
    tm_logmsg(0, "Audio consumer thread %d", slot->index);
    const int L = seq->ring_length;

    std::uint64_t lap = slot->start_lap;  // the lap of the ring the read position is in

    for (;;) {
        report_dropped_blocks(slot);
        int read = slot->read_position.load(std::memory_order_relaxed);
        int write = read;
        {
            std::unique_lock<std::mutex> guard(seq->lock);
            while (!slot->stop.load(std::memory_order_acquire) &&
                   (write = seq->write_position.load(std::memory_order_acquire)) == read &&
                   slot->unreported_drops.load(std::memory_order_relaxed) == 0) {
                seq->data_ready.wait_for(guard, kConsumerWaitSlice);
            }
        }
        if (slot->stop.load(std::memory_order_acquire)) {
            report_dropped_blocks(slot);
            slot->exit_value = kStoppedByRemoval;
            return;
        }
        if (write == read) continue;  // woken to report drops only

        // Consume the contiguous stretch; a wrapped write takes two passes.
        const int end = write <= read ? L : write;
        const int n = end - read;
        const double time =
            static_cast<double>(read) / SEQUENCER_SAMPLE_RATE + lap_time_for_read(seq, lap);

        const int result = slot->registered_callback(seq->ring + read, n, slot->user, time);
        if (result != 0) {
            tm_logmsg(0, "audio consumer callback returned: %d. Exiting processing thread.",
                      result);
            slot->callback.store(nullptr);
            // A consumer that has ended must not hold back the writer forever.
            slot->removed.store(true, std::memory_order_release);
            slot->exit_value = 0;
            return;
        }

        int next = read + n;
        if (next >= L) {
            next = 0;
            ++lap;
        }
        slot->read_position.store(next, std::memory_order_release);
    }
}

void stop_and_join(sequencer_state* seq, sequencer_consumer& slot) {
    {
        std::lock_guard<std::mutex> guard(seq->lock);
        slot.stop.store(true, std::memory_order_release);
    }
    seq->data_ready.notify_all();
    if (slot.thread.joinable()) slot.thread.join();
}

}  // namespace

sequencer_state* init_sequencer() {
    sequencer_state* seq = new (std::nothrow) sequencer_state;
    if (!seq) {
        tm_logmsg(3, "memory allocation failed");
        return nullptr;
    }
    seq->ring = new (std::nothrow) float[SEQUENCER_RING_LENGTH]();
    if (!seq->ring) {
        tm_logmsg(3, "memory allocation failed");
        delete seq;
        return nullptr;
    }
    seq->ring_length = SEQUENCER_RING_LENGTH;
    seq->lap_start_time[0].store(0.0);
    seq->lap_start_time[1].store(0.0);
    return seq;
}

void close_sequencer(sequencer_state* seq) {
    if (!seq) return;
    // Consumers should have been removed; any thread still running is stopped
    // here so that nothing outlives the ring.
    const int count = seq->consumer_count.load();
    for (int i = 0; i < count; ++i) stop_and_join(seq, seq->consumers[i]);
    delete[] seq->ring;
    delete seq;
    tm_logmsg(0, "Sequencer: closed");
}

int start_sequencer(sequencer_state* seq) {
    seq->last_block_time = 0.0;
    tm_logmsg(0, "sequencer started");
    return 0;
}

void stop_sequencer(sequencer_state* seq) {
    tm_logmsg(0, "Sequencer: stopping sequencer");
    seq->time_base -= seq->block_end_time;
    seq->block_end_time = 0.0;
    tm_logmsg(0, "Sequencer: closing portaudio stream");
}

void sequencer_register_gettime_cb(sequencer_state* seq, void* user, sequencer_gettime_cb gettime) {
    std::lock_guard<std::mutex> guard(seq->clock_lock);
    seq->gettime = gettime;
    seq->gettime_user = user;
}

double TMSeq_get_current_time(sequencer_state* seq) {
    std::lock_guard<std::mutex> guard(seq->clock_lock);
    return seq->gettime ? seq->gettime(seq->gettime_user) : 0.0;
}

void TMSleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

int sequencer_audio_cons_add(sequencer_state* seq, sequencer_audio_cons_cb callback, void* user) {
    const int index = seq->consumer_count.load();
    TM_PRECONDITION(index < SEQUENCER_MAX_CONSUMERS, "consumer_count < SEQUENCER_MAX_CONSUMERS");
    sequencer_consumer& slot = seq->consumers[index];
    slot.read_position.store(0);
    slot.removed.store(false);
    slot.stop.store(false);
    slot.callback.store(callback);
    slot.registered_callback = callback;
    slot.user = user;
    slot.index = index;
    slot.seq = seq;
    slot.exit_value = 0;
    slot.unreported_drops.store(0);
    const std::uint64_t laps = seq->laps_started.load(std::memory_order_acquire);
    slot.start_lap = laps > 0 ? laps - 1 : 0;
    // Publish the slot to the producer before its thread starts consuming.
    seq->consumer_count.store(index + 1, std::memory_order_release);
    try {
        slot.thread = std::thread(consumer_thread, &slot);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "tempomind: thread creation failed\n%s\n", e.what());
        slot.removed.store(true);  // a slot without a thread must not hold back the writer
        return 1;
    }
    tm_logmsg(0, "created audio consumer thread %d", index);
    return 0;
}

void sequencer_audio_cons_rem(sequencer_state* seq, sequencer_audio_cons_cb callback, void* user) {
    const int count = seq->consumer_count.load();
    for (int i = 0; i < count; ++i) {
        sequencer_consumer& slot = seq->consumers[i];
        if (slot.registered_callback != callback || slot.user != user) continue;
        if (slot.stop.load()) continue;  // already removed
        tm_logmsg(0, "Sequencer: removing sequencer audio callback");
        stop_and_join(seq, slot);
        if (slot.exit_value != kStoppedByRemoval)
            tm_logmsg(0, "Sequencer: processing thread returned with value: %x",
                      static_cast<unsigned>(slot.exit_value));
        slot.removed.store(true, std::memory_order_release);
    }
}

void sequencer_audio_cb(const float* samples, unsigned long count, sequencer_state* seq,
                        double time) {
    if (count == 0) return;
    const int L = seq->ring_length;
    const int w = seq->write_position.load(std::memory_order_relaxed);
    const int new_w = static_cast<int>((static_cast<unsigned long>(w) + count) % L);

    if (seq->last_block_time - time > 0.5) seq->time_jump = 1;
    seq->last_block_time = time;
    if (!seq->started) {
        seq->time_base += time;
        seq->started = 1;
    }

    // One slot always stays empty: a full ring has free = 0, an empty one L - 1.
    bool dropped = false;
    const int consumers = seq->consumer_count.load(std::memory_order_acquire);
    for (int i = 0; i < consumers; ++i) {
        sequencer_consumer& slot = seq->consumers[i];
        if (slot.removed.load(std::memory_order_acquire)) continue;
        const int r = slot.read_position.load(std::memory_order_acquire);
        const int free = (r > w ? r - w : L - w + r) - 1;
        if (static_cast<unsigned long>(free) < count) {
            slot.unreported_drops.fetch_add(1, std::memory_order_relaxed);
            dropped = true;
        }
    }
    if (dropped) {
        seq->dropped_samples.fetch_add(static_cast<std::int64_t>(count),
                                       std::memory_order_relaxed);
        seq->data_ready.notify_all();  // a waiting consumer logs the drop
        return;
    }

    // A new lap of the ring starts with this block, or inside it when the
    // block straddles the end of the ring.
    if (w == 0 || static_cast<unsigned long>(L - w) < count) {
        const int offset = w == 0 ? 0 : L - w;
        const std::uint64_t lap = seq->laps_started.load(std::memory_order_relaxed);
        seq->lap_start_time[lap % 2].store(
            time + static_cast<double>(offset) / SEQUENCER_SAMPLE_RATE - seq->time_base,
            std::memory_order_release);
        seq->laps_started.store(lap + 1, std::memory_order_release);
    }

    // Copy, wrapping to the start of the ring at its end.
    int pos = w;
    for (unsigned long i = 0; i < count; ++i) {
        seq->ring[pos] = samples[i];
        if (++pos == L) pos = 0;
    }

    seq->write_position.store(new_w, std::memory_order_release);
    seq->block_end_time = time + static_cast<double>(count) / SEQUENCER_SAMPLE_RATE;
    seq->frames_since_wake += count;
    if (seq->frames_since_wake >= kWakeFrames) {
        seq->frames_since_wake = 0;
        seq->data_ready.notify_all();
    }
}

std::int64_t sequencer_dropped_samples(const sequencer_state* seq) {
    return seq->dropped_samples.load(std::memory_order_relaxed);
}
