// The meter ticker: the engine's output stage.
//
// Audio side: the ticker is the audio sequencer's consumer. For every stretch
// of new samples it measures the input level, feeds the meter tracker and,
// when the tracker has a fresh estimate, stores the bar, beat and tatum
// periods and phase references.
//
// Between the two, every estimate of the tracker is smoothed (gridsmoother.h)
// and the performer's corrections are applied to it (corrections.h); the
// result is the ticker's estimate.
//
// Timing side: a timer thread (prediction.h) turns the estimate into a
// running full phase per metrical level, placing the ticks one beat at a time
// (clockfollower.h), and fires the tick actions (next-tick prediction, MIDI
// clock, notes, phase controllers, the output sinks of sinkfeed.h) and the
// registered phase callbacks whenever a scaled phase crosses an integer.
//
// Values shared between threads are atomics read and written whole without
// locks; a reader may combine values of two consecutive updates. Calls into
// the tracker are serialised with a mutex between the consumer thread and the
// application's parameter changes.
#ifndef KADENZO_METERTICKER_H
#define KADENZO_METERTICKER_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "clockfollower.h"
#include "corrections.h"
#include "gridsmoother.h"
#include "meterTrackerC.h"
#include "metergrid.h"
#include "midioutput.h"
#include "sequencer.h"
#include "sinkfeed.h"

struct meterticker_state;

// The ticker's estimate of a level: its ticks fall at reference + k * period
// on the engine clock. Its timing: the current segment, from previous_tick to
// next_tick, over which the level's full phase runs linearly from
// phase_at_previous to phase_at_next (and stays there until the timer moves
// on). A segment is one beat interval; the level ticks where its phase
// crosses a whole number.
struct meterticker_level {
    const char* name = "";
    int level = 0;
    std::atomic<double> period{0.0};     // seconds; 0 until the first estimate
    std::atomic<double> reference{0.0};  // seconds on the engine clock
    // Written by the timer thread only; read by the phase queries.
    std::atomic<double> previous_tick{0.0};
    std::atomic<double> next_tick{0.0};
    std::atomic<double> phase_at_previous{0.0};
    std::atomic<double> phase_at_next{1.0};
    std::atomic<int> tick_count{0};  // ticks of the level since the timer started
    meterticker_state* ticker = nullptr;  // the owner, for the current pass time
};

// A clock switched on sends Start on a beat tick only once the beat grid has
// settled: this many estimate updates in a row (the tracker gives one every
// half second) fitted the smoothed grid closely (gridsmoother.h), or the
// performer tapped the beat; and only on a beat tick that lies on that grid.
// A Start on the tracker's first guesses would land anywhere between two
// beats.
const int METERTICKER_START_SETTLED_UPDATES = GRIDSMOOTHER_SETTLED_STEPS;

struct meterticker_clock {
    midioutput_state* midi = nullptr;
    std::atomic<int> enabled{0};
    std::atomic<int> start_pending{0};
    // The estimate's grid has settled (see above).
    std::atomic<int> settled{0};
    // Start waits for a beat that starts a bar.
    std::atomic<int> start_on_bar{0};
    // The tracker is confident of a steady beat (see meterticker_set_confidence):
    // no Start without it.
    std::atomic<int> steady{1};
    // Timer thread only: set by the follower at each beat tick for the clock
    // actions of the same pass.
    bool beat_on_grid = false;     // the tick lies on the estimate's grid
    bool beat_starts_bar = false;  // ... and starts a bar
    std::mutex* outputs_lock = nullptr;
};

struct meterticker_note {
    midioutput_state* midi = nullptr;
    std::atomic<int> enabled{0};
    int channel = 0;
    int note = 0;
    int velocity = 127;
    std::atomic<int> sounding{0};  // a Note On went out without its Note Off
    std::mutex* outputs_lock = nullptr;
};

struct meterticker_phase_ctrl {
    midioutput_state* midi = nullptr;
    int level = 0;
    std::atomic<int> enabled{0};
    int channel = 0;
    int controller = 0;
};

// full_phases: bar, beat, tatum, the acting row's level at the moment of its
// crossing; time: that moment on the engine clock (the anti-delay taken off),
// the time stamp of whatever the action sends.
typedef void (*meterticker_tick_fn)(const double* full_phases, void* data, int argument,
                                    double time);

// A row of the tick-action table: the action runs whenever the whole part of
// full phase[level] * multiplier - offset grows from one timer pass to the
// next (crossings between two passes merge into one event).
struct meterticker_tick_action {
    int level;
    double multiplier;
    double offset;
    meterticker_tick_fn action;  // null ends the table
    void* data;
    int argument;
    double previous_value;  // full phase * multiplier - offset; NaN before the first pass
};

enum { METERTICKER_TICK_ACTIONS = 15 };

typedef void (*meterticker_phase_cb)(void* user, double full_phase);

struct meterticker_phase_node {
    int level;
    double multiplier;  // 64 bar, 32 beat, 16 tatum
    meterticker_phase_cb callback;
    void* user;
    std::atomic<meterticker_phase_node*> next{nullptr};
    double previous_value = std::numeric_limits<double>::quiet_NaN();  // multiplier * phase
};

// List guard values.
enum { METERTICKER_GUARD_FREE = 0, METERTICKER_GUARD_REMOVING = 1, METERTICKER_GUARD_WALKING = 2 };

// How a ticker is created. The defaults are the live engine's.
struct meterticker_options {
    // Record MIDI instead of sending it (tests, offline rendering).
    const midioutput_recorder_config* midi_recorder = nullptr;
    // When false, a ticker whose MIDI output cannot be created or opened
    // still starts, without MIDI output; otherwise that is a failure (3).
    bool require_midi = true;
    // No threads: the caller hands audio to meterticker_cbfun and drives the
    // timer with meterticker_timer_align and meterticker_timer_pass.
    bool manual = false;
    // Where each estimate update is logged with its predicted next ticks
    // (see meterticker_set_prediction_log); null for no log.
    std::FILE* prediction_log = nullptr;
    // The tracking model of the ticker's tracker (trackingModel.h).
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;
    meterTracker::EnhancedStages stages;
};

struct meterticker_state {
    sequencer_state* sequencer = nullptr;
    // Consumer thread: estimate updates in a row without confidence, and with.
    int unsteady_updates = 0;
    int steady_updates = 0;
    std::thread timer_thread;
    std::atomic<int> stop_request{0};
    meterTracker::mTracker* tracker = nullptr;
    meterticker_level levels[METERLEVEL_COUNT];
    std::atomic<double> input_level{-100.0};
    std::atomic<double> nonbeatyness{0.0};
    midioutput_state* midi = nullptr;
    meterticker_clock clock;
    meterticker_note notes[METERLEVEL_COUNT];
    meterticker_phase_ctrl ctrls[METERLEVEL_COUNT];
    meterticker_tick_action actions[METERTICKER_TICK_ACTIONS + 1];
    std::atomic<meterticker_phase_node*> callbacks{nullptr};
    int requested_port = 0;
    std::atomic<double> anti_delay{0.0};

    // The estimate path: the tracker's grid smoothed, the performer's
    // corrections on top, the tempo preference the application chose.
    // Guarded by estimates_lock (taken before tracker_lock, never after).
    std::mutex estimates_lock;
    gridsmoother smoother;
    corrections* performer = nullptr;  // the performer's corrections
    bool grid_settled = false;  // the smoother's verdict on the newest grid
    unsigned steps = 0;         // the performer's steps published so far
    double preference[METERLEVEL_COUNT] = {2.1, 0.55, 0.18};  // bar, beat, tatum (s)
    // The published estimate: the levels' periods and references with these,
    // under a sequence count that is odd while they change (the timer reads
    // them as a whole).
    std::atomic<unsigned> estimate_sequence{0};
    std::atomic<unsigned> estimate_step{0};
    std::atomic<double> estimate_switch_at{0.0};
    clockfollower follower;
    // The output sinks besides MIDI (outputsink.h) and what the timer tells them.
    sinkfeed sinks;
    std::atomic<int> list_guard{METERTICKER_GUARD_FREE};
    std::FILE* prediction_log = nullptr;  // not owned; guarded by tracker_lock

    // Serialises the consumer thread's tracker calls with parameter changes.
    std::mutex tracker_lock;
    // Serialises clock and note state changes with the sends that go with
    // them, so that no Start follows a Stop and no note is left sounding.
    std::mutex outputs_lock;

    // Consumer thread only: scratch for the samples as doubles, and the
    // sequencer's dropped-sample count already made up with zeros.
    std::vector<double> samples;
    std::int64_t dropped_seen = 0;
    std::atomic<std::int64_t> tracker_samples{0};  // samples fed to the tracker

    // Timer side (one thread at a time).
    bool manual = false;
    std::atomic<bool> aligned{false};
    bool pass_seen = false;             // a pass has run: last_pass_time is valid
    double last_pass_time = 0.0;        // clock + anti-delay of the last pass
    double pass_time = 0.0;             // clock + anti-delay of the pass under way
    bool clock_invalid_warned = false;  // one warning per episode of each
    bool clock_back_warned = false;
    // The timer thread's result when it ended by itself; -1 while it runs or
    // when it ended on the stop request.
    std::atomic<int> timer_result{-1};
};

// Creates a ticker on the sequencer and opens the MIDI port (negative means
// 0). Returns 0 and stores the ticker in *out, or a status: 1 (tracker or
// audio consumer), 3 (no MIDI output) or the thread library's error code for
// the timer thread; *out is then unchanged and everything created is released.
int meterticker_init(sequencer_state* sequencer, int midi_port, meterticker_state** out,
                     const meterticker_options* options = nullptr);
void meterticker_close(meterticker_state* state);

// A ticker the caller drives by hand (no threads, no prediction log) whose
// MIDI goes to the recording backend as one port, port_name, stamped by the
// given clock: the set-up of offline rendering, tests and benchmarks. Status
// codes as meterticker_init.
int meterticker_init_manual_recorded(
    sequencer_state* sequencer, const char* port_name, midioutput_clock_cb clock,
    void* clock_user, meterticker_state** out,
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic,
    const meterTracker::EnhancedStages& stages = meterTracker::EnhancedStages());

// The tracker's confidence of a steady beat at an estimate update (0 .. 1).
// A clock waits for METERTICKER_STEADY_UPDATES confident updates in a row
// to send Start (one confident update may be a fluke); a
// running clock whose estimates stay unconfident for
// METERTICKER_UNSTEADY_UPDATES updates in a row (two seconds: no steady
// beat, as in noise or silence) sends Stop and starts again, with a Start at
// a beat, once the beat is back. A tapped grid or a hold from the performer
// overrides the tracker's doubt.
void meterticker_set_confidence(meterticker_state* state, double confidence);
const int METERTICKER_UNSTEADY_UPDATES = 4;
const int METERTICKER_STEADY_UPDATES = 2;

// Logs every estimate update from now on to log (not owned, null for none):
// one line per update, "TIME BEAT_PERIOD NEXT_BEAT BAR_PERIOD NEXT_BAR
// TATUM_PERIOD NEXT_TATUM", seconds on the engine clock, TIME being the
// end of the audio the estimate covers and NEXT_* the first tick of each
// grid after it. The log is written on the audio consumer thread; it must
// stay open until it is replaced or the ticker is closed.
void meterticker_set_prediction_log(meterticker_state* state, std::FILE* log);

// The audio consumer callback (always 0). The time is not used.
int meterticker_cbfun(const float* samples, int count, void* state, double time);

// Takes an estimate of the tracker (bar, beat, tatum order) as the consumer
// does: smoothed, corrected and published as the ticker's estimate; ignored
// (false) unless every period is finite and positive and every reference
// finite. Whether the smoothed grid has settled decides when a clock may
// start (METERTICKER_START_SETTLED_UPDATES).
bool meterticker_set_estimates(meterticker_state* state, const double periods[METERLEVEL_COUNT],
                               const double references[METERLEVEL_COUNT]);

// The published estimate as a whole, as the timer thread reads it: the grid,
// the count of the performer's steps and the time the newest one applies from.
struct meterticker_estimate {
    meter_grid grid;
    unsigned step = 0;
    double switch_at = 0.0;
    unsigned sequence = 0;  // counts up with every publication
};
void meterticker_read_estimate(const meterticker_state* state, meterticker_estimate* out);

// Performer corrections (corrections.h), from any thread but the audio
// callback, at the engine-clock time of the press.
void meterticker_tap(meterticker_state* state, double at);
void meterticker_tempo_factor(meterticker_state* state, int numerator, int denominator,
                              double at);
void meterticker_nudge(meterticker_state* state, double seconds, double at);
void meterticker_bar_one(meterticker_state* state, double at);
void meterticker_hold(meterticker_state* state, bool on, double at);
void meterticker_reset_corrections(meterticker_state* state, double at);
// The corrections in force, as corrections_describe and corrections_get_status.
int meterticker_describe_corrections(meterticker_state* state, char* text, int size);
corrections_status meterticker_corrections_status(meterticker_state* state);
// Whether the clock's Start waits for the start of a bar (off at creation).
void meterticker_set_start_on_bar(meterticker_state* state, bool on);
bool meterticker_start_on_bar(meterticker_state* state);

// Engine clock in seconds, and the full phase of a level at time t.
double meterticker_now(meterticker_state* state);
double meterticker_full_phase(const meterticker_level& level, double t);

void meterticker_get_phases(meterticker_state* state, double out[METERLEVEL_COUNT]);
double meterticker_get_phase(meterticker_state* state, int meterlevel);
double meterticker_get_level(meterticker_state* state);
double meterticker_get_nonbeatyness(meterticker_state* state);
double meterticker_get_bpm(meterticker_state* state);
double meterticker_get_anti_delay(meterticker_state* state);
void meterticker_set_anti_delay(meterticker_state* state, double seconds);

double meterticker_change_half_time(meterticker_state* state, double seconds);
// The application's tempo preference (period-prior medians, seconds); a tap
// the tracker does not follow re-centres it for a while, a reset of the
// corrections brings this one back.
void meterticker_change_myyValues(meterticker_state* state, double bar, double beat, double tatum);

// Null for a level outside bar, beat, tatum (logged).
meterticker_phase_node* meterticker_register_phase_cb(meterticker_state* state, int level,
                                                      void* user, meterticker_phase_cb callback);
void meterticker_unregister_phase_cb(meterticker_state* state, void* user);

void meterticker_send_midi_message(meterticker_state* state, int kind, int channel, int number,
                                   int value);
void meterticker_midiclock_out(meterticker_state* state, int on);
// Whether the MIDI clock is switched on and has sent its Start.
bool meterticker_midi_clock_running(meterticker_state* state);
// The latest estimate updates were confident of a steady beat (see
// meterticker_set_confidence), or the performer tapped or holds; true for a
// ticker whose estimates are only set by hand.
bool meterticker_has_steady_beat(meterticker_state* state);
void meterticker_midinote_out(meterticker_state* state, int on);
void meterticker_midiphase_out(meterticker_state* state, int on);

// The driver, or null when the ticker runs without MIDI output.
midioutput_state* meterticker_midi(meterticker_state* state);
// Samples handed to the tracker so far, zeros for dropped audio included.
std::int64_t meterticker_tracker_samples(const meterticker_state* state);

// Tick actions of the table.
void midi_clock_at_beat(const double* full_phases, void* clock, int argument, double time);
void midi_clock_update(const double* full_phases, void* clock, int argument, double time);
void midi_notes_update(const double* full_phases, void* note, int argument, double time);
void midi_ctrls_update(const double* full_phases, void* ctrl, int argument, double time);

// Attaches an output sink (outputsink.h, not owned) from any thread; it must
// outlive the ticker. False when it cannot be attached (see sinkfeed_attach).
bool meterticker_attach_sink(meterticker_state* state, output_sink* sink);

#endif
