// The meter ticker: the engine's output stage.
//
// Audio side: the ticker is the audio sequencer's consumer. For every stretch
// of new samples it measures the input level, feeds the meter tracker and,
// when the tracker has a fresh estimate, stores the bar, beat and tatum
// periods and phase references.
//
// Timing side: a timer thread (prediction.h) turns these estimates into a
// running full phase per metrical level and fires the tick actions (next-tick
// prediction, MIDI clock, notes, phase controllers) and the registered phase
// callbacks whenever a scaled phase crosses an integer.
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

#include "meterTrackerC.h"
#include "midioutput.h"
#include "sequencer.h"

enum MeterLevelID {
    METERLEVEL_BAR = 0,
    METERLEVEL_BEAT = 1,
    METERLEVEL_TATUM = 2,
    METERLEVEL_COUNT = 3,
};

struct meterticker_state;

// Ticks of a level fall at reference + k * period on the engine clock.
struct meterticker_level {
    const char* name = "";
    int level = 0;
    std::atomic<double> period{0.0};     // seconds; 0 until the first estimate
    std::atomic<double> reference{0.0};  // seconds on the engine clock
    // Written by the timer thread only; read by the phase queries.
    std::atomic<double> previous_tick{0.0};
    std::atomic<double> next_tick{0.0};
    std::atomic<int> tick_count{0};
    meterticker_state* ticker = nullptr;  // the owner, for the current pass time
};

// A clock switched on sends Start on a beat tick only once the beat grid has
// settled: this many estimate updates in a row (the tracker gives one every
// half second) kept the beat period within 2 % of the one before and the
// beat reference within a tenth of a beat of the grid before. A Start on the
// tracker's first guesses would land anywhere between two beats.
const int METERTICKER_START_SETTLED_UPDATES = 4;

struct meterticker_clock {
    midioutput_state* midi = nullptr;
    std::atomic<int> enabled{0};
    std::atomic<int> start_pending{0};
    // Estimate updates in a row that agreed with the beat grid before them.
    std::atomic<int> settled_updates{0};
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

// full_phases: bar, beat, tatum; time: the engine clock without anti-delay.
typedef void (*meterticker_tick_fn)(const double* full_phases, void* data, int argument,
                                    double time);

// A row of the tick-action table: the action runs whenever
// fmod(full phase[level] * multiplier - offset, 1) decreases from one timer
// pass to the next, or the scaled phase advanced by a whole unit or more
// (crossings between two passes merge into one event; a fraction that is 0
// in two passes in a row hides a crossing).
struct meterticker_tick_action {
    int level;
    double multiplier;
    double offset;
    meterticker_tick_fn action;  // null ends the table
    void* data;
    int argument;
    double previous_fraction;
    double previous_value;  // full phase * multiplier - offset; NaN before the first pass
};

enum { METERTICKER_TICK_ACTIONS = 14 };

typedef void (*meterticker_phase_cb)(void* user, double full_phase);

struct meterticker_phase_node {
    int level;
    double multiplier;  // 64 bar, 32 beat, 16 tatum
    meterticker_phase_cb callback;
    void* user;
    std::atomic<meterticker_phase_node*> next{nullptr};
    double previous_fraction = 0.0;
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

// Logs every estimate update from now on to log (not owned, null for none):
// one line per update, "TIME BEAT_PERIOD NEXT_BEAT BAR_PERIOD NEXT_BAR
// TATUM_PERIOD NEXT_TATUM", seconds on the engine clock, TIME being the
// end of the audio the estimate covers and NEXT_* the first tick of each
// grid after it. The log is written on the audio consumer thread; it must
// stay open until it is replaced or the ticker is closed.
void meterticker_set_prediction_log(meterticker_state* state, std::FILE* log);

// The audio consumer callback (always 0). The time is not used.
int meterticker_cbfun(const float* samples, int count, void* state, double time);

// Stores an estimate (bar, beat, tatum order) as the consumer does; ignored
// (false) unless every period is finite and positive and every reference
// finite. An estimate that continues the beat grid before it counts towards
// the settled grid a clock's Start waits for; any other starts the count anew.
bool meterticker_set_estimates(meterticker_state* state, const double periods[METERLEVEL_COUNT],
                               const double references[METERLEVEL_COUNT]);

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

#endif
