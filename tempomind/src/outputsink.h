// Output sinks: protocols other than MIDI (Ableton Link, OSC, a log of what
// would be sent) that follow the ticker's clock. The ticker's timer thread
// (sinkfeed.h) hands every sink the same stream of events, each at its exact
// time on the engine clock; a sink maps that time to its own clock and owns
// its bytes and its network calls.
//
// post runs on the timer thread (or on the thread that drives a manual
// ticker): it must not block, lock or allocate. A sink that talks to the
// network queues the event (sink_queue below) and works on a thread of its
// own. One thread posts at a time; a ticker that replaces another posts
// only after the old one's thread has ended.
#ifndef KADENZO_OUTPUTSINK_H
#define KADENZO_OUTPUTSINK_H

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "metergrid.h"

enum class sink_event_kind : int {
    beat,         // a beat tick of the clock's grid
    clock_start,  // the clock's Start went out on this beat (the beat event follows)
    clock_stop,   // the clock was switched off (or its ticker closed)
    phase,        // the phases, 30 times a second of engine time
    estimate,     // the grid the clock follows changed (an estimate update or a performer's step)
};

// The clocks read together at the timer pass that posted an event: the
// engine clock, CLOCK_MONOTONIC_RAW (Link's host clock on Linux) and the
// wall clock, for sinks that map engine time to one of the others.
struct sink_clock_sample {
    double engine_s = 0.0;
    std::int64_t raw_us = 0;
    std::int64_t wall_us = 0;  // since 1970
};

struct sink_event {
    sink_event_kind kind = sink_event_kind::phase;
    // When the event happens in the music, seconds on the engine clock: the
    // moment the outputs play it (their time stamp) plus the anti-delay.
    double time = 0.0;
    // The outputs run this much ahead of the music (seconds).
    double anti_delay = 0.0;
    // beat: place in the bar, 0 for the bar's first beat.
    int position = 0;
    int beats_per_bar = 4;
    double bpm = 0.0;  // the tempo the clock follows
    // phase: the fractional bar and beat phases (0 ... 1) at time.
    double bar_phase = 0.0;
    double beat_phase = 0.0;
    // beat: this beat starts a bar; the grid has settled and the beat lies on
    // it (a clock may start here, see METERTICKER_START_SETTLED_UPDATES).
    bool starts_bar = false;
    bool settled = false;
    // Whether the clock runs (Start sent, no Stop since), after this event.
    bool running = false;
    // estimate: the grid the clock follows.
    meter_grid grid;
    sink_clock_sample clocks;
};

class output_sink {
  public:
    virtual ~output_sink() = default;
    // Timer thread: never blocks, locks or allocates.
    virtual void post(const sink_event& event) = 0;
};

// A single-producer, single-consumer ring of events: post never waits; an
// event that finds the ring full is dropped and counted.
class sink_queue {
  public:
    static constexpr std::size_t kCapacity = 1024;  // a power of two

    bool push(const sink_event& event) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        if (head - tail >= kCapacity) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        ring_[head & (kCapacity - 1)] = event;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    bool pop(sink_event* event) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) return false;
        *event = ring_[tail & (kCapacity - 1)];
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    sink_event ring_[kCapacity];
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::atomic<std::uint64_t> dropped_{0};
};

// Maps engine time to another clock from the pairs of readings the events
// carry. A pair read late (the timer thread preempted between the two
// readings) shows a larger offset than the true one, never a smaller one,
// and so does an engine clock that advances in steps: the offset is the
// smallest of the recent pairs. The clocks drift apart slowly: the smallest
// is taken over the last two seconds, in quarter-second buckets.
class clock_mapping {
  public:
    // offset_us: other clock minus engine clock, microseconds.
    void add(double engine_s, std::int64_t other_us) {
        const double offset = static_cast<double>(other_us) - engine_s * 1e6;
        const std::int64_t bucket = static_cast<std::int64_t>(std::floor(engine_s * 4.0));
        // A clock that went back or jumped (a new audio stream restarts the
        // engine clock) starts the mapping afresh.
        if (valid_ && (bucket < bucket_ || std::fabs(offset - offset_us()) > kJumpUs)) {
            valid_ = false;
        }
        if (!valid_ || bucket != bucket_) {
            if (valid_) {
                for (int i = kBuckets - 1; i > 0; --i) minima_[i] = minima_[i - 1];
            } else {
                for (double& m : minima_) m = offset;
            }
            minima_[0] = offset;
            bucket_ = bucket;
            valid_ = true;
        } else if (offset < minima_[0]) {
            minima_[0] = offset;
        }
    }
    bool valid() const { return valid_; }
    double offset_us() const {
        double smallest = minima_[0];
        for (double m : minima_) smallest = m < smallest ? m : smallest;
        return smallest;
    }
    // The other clock's reading at engine time t.
    double to_other_us(double engine_s) const { return engine_s * 1e6 + offset_us(); }
    double to_engine_s(double other_us) const { return (other_us - offset_us()) / 1e6; }

  private:
    static constexpr int kBuckets = 8;
    static constexpr double kJumpUs = 50000.0;
    double minima_[kBuckets] = {};
    std::int64_t bucket_ = 0;
    bool valid_ = false;
};

#endif
