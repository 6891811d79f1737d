// The audio sequencer carries mono audio blocks from the audio device's
// real-time callback to the analysis threads through one 16384-sample ring.
//
// The producer (audio thread) never blocks, locks or allocates: when a
// consumer has fallen too far behind, the whole block is dropped instead.
// Each registered consumer has its own thread that waits for new samples and
// hands every newly written contiguous stretch to its callback. The sequencer
// also owns the engine clock, a time source installed by the audio owner.
#ifndef KADENZO_SEQUENCER_H
#define KADENZO_SEQUENCER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// Consumer callback: samples point into the ring, count contiguous new samples,
// time is the stream time of the first of them. A non-zero result ends the
// consumer's thread.
typedef int (*sequencer_audio_cons_cb)(const float* samples, int count, void* user, double time);

// The engine clock: seconds since the audio stream's first sample.
typedef double (*sequencer_gettime_cb)(void* user);

enum {
    SEQUENCER_RING_LENGTH = 16384,
    SEQUENCER_MAX_CONSUMERS = 16,
    SEQUENCER_SAMPLE_RATE = 44100,
};

struct sequencer_consumer {
    std::atomic<int> read_position{0};      // next unread sample; written by its thread only
    std::atomic<bool> removed{false};       // removed or ended: no longer holds back the writer
    std::atomic<bool> stop{false};          // asks the thread to end
    std::atomic<sequencer_audio_cons_cb> callback{nullptr};  // cleared when the thread ends itself
    sequencer_audio_cons_cb registered_callback = nullptr;   // what removal matches against
    void* user = nullptr;
    std::thread thread;
    int exit_value = 0;
    std::uint64_t start_lap = 0;  // lap of the ring at registration (read position 0)
    // Blocks dropped because this consumer was too slow, not yet logged: the
    // producer runs on the audio thread, which never logs; the consumer's
    // thread does.
    std::atomic<int> unreported_drops{0};
    int index = 0;
    struct sequencer_state* seq = nullptr;
};

struct sequencer_state {
    // Written by the producer only.
    int started = 0;
    double block_end_time = 0.0;
    double time_base = 0.0;
    double last_block_time = 0.0;
    int time_jump = 0;
    unsigned long frames_since_wake = 0;  // written since consumers were last woken

    // The engine clock; the mutex makes installing a new clock safe while
    // the timer thread reads it.
    std::mutex clock_lock;
    sequencer_gettime_cb gettime = nullptr;
    void* gettime_user = nullptr;

    float* ring = nullptr;
    int ring_length = SEQUENCER_RING_LENGTH;
    std::atomic<int> write_position{0};

    // Stream time (minus the time base) of ring position 0, for the current
    // and the previous lap of the ring: a consumer may still be reading the
    // end of one lap while the producer has started the next.
    std::atomic<double> lap_start_time[2];
    std::atomic<std::uint64_t> laps_started{0};

    std::atomic<std::int64_t> dropped_samples{0};  // since creation

    sequencer_consumer consumers[SEQUENCER_MAX_CONSUMERS];
    std::atomic<int> consumer_count{0};

    std::condition_variable data_ready;
    std::mutex lock;
};

sequencer_state* init_sequencer();
void close_sequencer(sequencer_state* seq);
int start_sequencer(sequencer_state* seq);
void stop_sequencer(sequencer_state* seq);

void sequencer_register_gettime_cb(sequencer_state* seq, void* user, sequencer_gettime_cb gettime);
// The engine clock in seconds; 0.0 until a clock is installed.
double TMSeq_get_current_time(sequencer_state* seq);
void TMSleep(int milliseconds);

// Registers a consumer and starts its thread: 0 on success, 1 when the thread
// cannot be created.
int sequencer_audio_cons_add(sequencer_state* seq, sequencer_audio_cons_cb callback, void* user);
// Removes (stops and joins) every consumer registered with this callback and user data.
void sequencer_audio_cons_rem(sequencer_state* seq, sequencer_audio_cons_cb callback, void* user);

// Producer entry, called on the audio thread with the stream time of the
// block's first sample.
void sequencer_audio_cb(const float* samples, unsigned long count, sequencer_state* seq,
                        double time);

// Samples dropped since creation because a consumer was too slow.
std::int64_t sequencer_dropped_samples(const sequencer_state* seq);

#endif
