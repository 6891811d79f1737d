// Helpers shared by the engine tests: a hand-driven engine clock, a ticker
// without threads driven one timer pass per millisecond, and filters over
// the MIDI messages the recording backend kept.
#ifndef KADENZO_TESTS_ENGINE_TEST_SUPPORT_H
#define KADENZO_TESTS_ENGINE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "meterticker.h"
#include "midioutput.h"
#include "prediction.h"
#include "sequencer.h"

namespace engine_test {

using Bytes = std::vector<unsigned char>;

// The engine clock (and the recorder's): whatever the test sets.
struct VirtualClock {
    double now = 0.0;
    static double read(void* user) { return static_cast<VirtualClock*>(user)->now; }
};

// Messages whose bytes equal the given ones, or pass the filter.
inline std::vector<double> times_of(const std::vector<midioutput_record>& records,
                                    const Bytes& bytes) {
    std::vector<double> times;
    for (const midioutput_record& record : records) {
        if (record.bytes == bytes) times.push_back(record.time);
    }
    return times;
}

inline std::vector<midioutput_record> matching(
    const std::vector<midioutput_record>& records,
    const std::function<bool(const midioutput_record&)>& keep) {
    std::vector<midioutput_record> kept;
    for (const midioutput_record& record : records) {
        if (keep(record)) kept.push_back(record);
    }
    return kept;
}

inline std::vector<midioutput_record> in_window(const std::vector<midioutput_record>& records,
                                                double from, double to) {
    return matching(records,
                    [&](const midioutput_record& r) { return r.time >= from && r.time < to; });
}

// A ticker in manual mode on a virtual clock, with the recording backend.
// run_until advances the clock one millisecond at a time, aligning as soon as
// estimates exist and running one timer pass per millisecond; with a lead
// (a backend that writes each message at its stamp), run_paced_until passes
// as the timer thread would.
class TickerHarness {
  public:
    explicit TickerHarness(double lead = 0.0) {
        sequencer_ = init_sequencer();
        sequencer_register_gettime_cb(sequencer_, &clock_, &VirtualClock::read);
        const char* const ports[] = {"engine test port", nullptr};
        midioutput_recorder_config recorder;
        recorder.port_names = ports;
        recorder.clock = &VirtualClock::read;
        recorder.clock_user = &clock_;
        recorder.quiet = true;
        recorder.lead = lead;
        meterticker_options options;
        options.midi_recorder = &recorder;
        options.manual = true;
        status_ = meterticker_init(sequencer_, 0, &ticker_, &options);
    }
    ~TickerHarness() {
        meterticker_close(ticker_);
        close_sequencer(sequencer_);
    }
    TickerHarness(const TickerHarness&) = delete;
    TickerHarness& operator=(const TickerHarness&) = delete;

    int status() const { return status_; }
    meterticker_state* ticker() { return ticker_; }
    midioutput_state* midi() { return meterticker_midi(ticker_); }
    VirtualClock& clock() { return clock_; }

    // An estimate (bar, beat, tatum) given as often as a tracker confirms a
    // steady grid before the clock may start on it; update() gives it once,
    // as the tracker does at every analysis step.
    void estimate(double bar_period, double bar_reference, double beat_period,
                  double beat_reference, double tatum_period, double tatum_reference) {
        for (int i = 0; i <= METERTICKER_START_SETTLED_UPDATES; ++i)
            update(bar_period, bar_reference, beat_period, beat_reference, tatum_period,
                   tatum_reference);
    }
    void update(double bar_period, double bar_reference, double beat_period,
                double beat_reference, double tatum_period, double tatum_reference) {
        const double periods[METERLEVEL_COUNT] = {bar_period, beat_period, tatum_period};
        const double references[METERLEVEL_COUNT] = {bar_reference, beat_reference,
                                                     tatum_reference};
        ASSERT_TRUE(meterticker_set_estimates(ticker_, periods, references));
    }
    void estimate_meter(double beat_period, double reference) {
        estimate(4 * beat_period, reference, beat_period, reference, beat_period / 2, reference);
    }
    void update_meter(double beat_period, double reference) {
        update(4 * beat_period, reference, beat_period, reference, beat_period / 2, reference);
    }

    // Starts the virtual time at t (whole milliseconds) without a pass.
    void start_at(double t) {
        ms_ = std::llround(t * 1000.0);
        clock_.now = ms_ / 1000.0;
    }
    // One pass per millisecond up to and including t.
    void run_until(double t) {
        const std::int64_t end = std::llround(t * 1000.0);
        while (ms_ < end) {
            ++ms_;
            step();
        }
    }
    // Passes spaced as the timer thread spaces them, up to t.
    void run_paced_until(double t) {
        const std::int64_t end = std::llround(t * 1000.0);
        while (ms_ < end) {
            ms_ = std::min(end, ms_ + meterticker_pass_interval_ms(ticker_));
            step();
        }
    }
    // One pass at the current time.
    void step() {
        clock_.now = static_cast<double>(ms_) / 1000.0;
        if (on_pass) on_pass(clock_.now);
        meterticker_timer_align(ticker_);
        meterticker_timer_pass(ticker_);
    }
    // Moves the virtual time without passes (a stalled timer or a clock jump).
    void jump_to(double t) {
        ms_ = std::llround(t * 1000.0);
        clock_.now = ms_ / 1000.0;
    }

    std::vector<midioutput_record> take() { return midioutput_take_records(midi()); }

    // Called with the time before each pass (to change the clock's reading).
    std::function<void(double)> on_pass;

  private:
    VirtualClock clock_;
    std::int64_t ms_ = 0;
    sequencer_state* sequencer_ = nullptr;
    meterticker_state* ticker_ = nullptr;
    int status_ = -1;
};

}  // namespace engine_test

#endif
