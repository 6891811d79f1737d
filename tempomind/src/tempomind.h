// Tempomind, the analysis and output engine: a flat interface of free
// functions over an engine handle. Audio blocks go in (tm_process_audio);
// the meter's phases, tempo and input level come out as queries, and a MIDI
// clock, notes and phase controllers go out on one MIDI port; the same clock
// can drive an Ableton Link session and an OSC target beside it.
//
// Calling order: tm_init once; the audio owner starts the sequencer
// (tm_start_sequencer), installs its stream clock (tm_register_gettime_cb) and
// calls tm_process_audio for every block; tm_stop / tm_run replace the engine
// when the audio input changes; tm_close at the end. Every function but
// tm_process_audio belongs to the application's thread.
//
// Handle states: running (sequencer and ticker) -> tm_stop -> stopped
// (neither) -> tm_run -> running. On a stopped handle audio blocks are
// ignored, queries give their "no estimate" values and the MIDI functions
// report that there is no MIDI. When tm_run or tm_reinit cannot start the
// MIDI output, the new ticker runs without it; when no ticker can be created
// at all, the handle keeps its sequencer and no ticker, and behaves as above.
#ifndef KADENZO_TEMPOMIND_H
#define KADENZO_TEMPOMIND_H

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "linksink.h"
#include "meterticker.h"
#include "midioutput.h"
#include "oscsink.h"
#include "sequencer.h"

// Reason of the last failed tm_init: 1 general failure, 3 no MIDI output, any
// other non-zero value the thread library's error code for the timer thread.
// A successful tm_init leaves it unchanged.
extern int TEMPOMIND_ERROR_STATUS;

// A record of tm_add_callback; carried for the caller, read by no engine code.
struct tm_callback_record {
    int kind;
    void* first;
    void* second;
    tm_callback_record* next;
};

struct TempoMind_t {
    std::atomic<sequencer_state*> sequencer{nullptr};  // null while stopped
    meterticker_state* ticker = nullptr;               // null while stopped
    tm_callback_record* callbacks = nullptr;

    // The recording MIDI backend (tm_init_recorded): every ticker of this
    // handle records instead of sending.
    bool recorded = false;
    std::vector<std::string> recorder_port_names;
    midioutput_clock_cb recorder_clock = nullptr;
    void* recorder_clock_user = nullptr;

    // Handed to every ticker of this handle (tm_set_prediction_log,
    // tm_set_start_on_bar).
    std::FILE* prediction_log = nullptr;
    // The tracking model of the tickers tm_run and tm_reinit make.
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;
    bool start_on_bar = false;

    // The output sinks besides MIDI, made when first switched on and kept
    // (with their session and target) for every ticker of this handle.
    link_sink* link = nullptr;
    osc_sink* osc = nullptr;
};

typedef double (*tm_gettime_cb)(void* user);
typedef void (*tm_phase_cb)(void* user, double full_phase);

TempoMind_t* tm_init(int ignored, int midi_port);
// As tm_init, with the tracking model given (tm_init's is the classic one).
TempoMind_t* tm_init_model(int ignored, int midi_port, meterTracker::TrackingModel model);
// As tm_init, with MIDI recorded by the driver's recording backend (tests and
// offline use); the recorder's port names are copied.
TempoMind_t* tm_init_recorded(int ignored, int midi_port,
                              const midioutput_recorder_config& recorder);

// tm_close, tm_stop and tm_reinit need the audio stream stopped first: no
// tm_process_audio call may run inside them.
void tm_close(TempoMind_t* handle);
int tm_stop(TempoMind_t* handle);
// On a stopped handle only: a new sequencer and ticker (logged warning and
// nothing else on a running one).
void tm_run(TempoMind_t* handle);
// A new ticker on the same sequencer, MIDI port 0, clock on; always 1.
int tm_reinit(TempoMind_t* handle);
void tm_start_sequencer(TempoMind_t* handle);

// Logs every estimate update, with the next predicted ticks, to log (see
// meterticker_set_prediction_log), for this ticker and the ones tm_run and
// tm_reinit make; null stops logging. The log is not owned: it must stay
// open until logging is stopped or the handle is closed. No log is written
// unless one is set.
void tm_set_prediction_log(TempoMind_t* handle, std::FILE* log);

// The tracking model of the next ticker (tm_run, tm_reinit): a change of
// model takes effect when the engine restarts, as on a change of audio
// input. The current one.
void tm_set_tracking_model(TempoMind_t* handle, meterTracker::TrackingModel model);
meterTracker::TrackingModel tm_get_tracking_model(TempoMind_t* handle);

// The engine clock: seconds since the audio stream's first sample.
void tm_register_gettime_cb(TempoMind_t* handle, void* user, tm_gettime_cb gettime);
// Note the argument order: samples and count come before the handle.
void tm_process_audio(const float* samples, unsigned long count, TempoMind_t* handle, double time);

void tm_get_meter_phases(TempoMind_t* handle, double* bar, double* beat, double* tatum);
double tm_get_beat_phase(TempoMind_t* handle);
double tm_get_bpm(TempoMind_t* handle);
// 1 when the engine has a tempo and is confident of a steady beat (the MIDI
// clock's Start waits for one; silence, noise or a steady tone have none),
// 0 otherwise and on a stopped handle.
int tm_has_steady_beat(TempoMind_t* handle);
double tm_get_input_level(TempoMind_t* handle);
double tm_get_nonbeatyness(TempoMind_t* handle);
double tm_get_anti_delay(TempoMind_t* handle);
void tm_set_anti_delay(TempoMind_t* handle, double seconds);
double tm_change_half_time(TempoMind_t* handle, double seconds);
void tm_change_myyValues(TempoMind_t* handle, double bar, double beat, double tatum);

meterticker_phase_node* tm_register_phase_cb(TempoMind_t* handle, int level, void* user,
                                             tm_phase_cb callback);
void tm_unregister_phase_cb(TempoMind_t* handle, void* user);

// kind 0: Note On; any other kind: Control Change.
void tm_send_midi_message(TempoMind_t* handle, int kind, int channel, int number, int value);
int tm_send_test_midinote(TempoMind_t* handle, unsigned level);
int tm_enable_midiclock(TempoMind_t* handle, int on);
int tm_enable_midinote(TempoMind_t* handle, int on);
int tm_enable_midiphase(TempoMind_t* handle, int on);
int tm_set_mididev(TempoMind_t* handle, int port);
int tm_get_current_mididev(TempoMind_t* handle);
// Opens a MIDI output port of Kadenzo's own called name, which other
// programs connect to, in place of the open port; it is listed last. 0 on
// success.
int tm_open_own_mididev(TempoMind_t* handle, const char* name);
// Re-lists the MIDI ports; the array stays owned by the driver and is
// replaced by the next call. Null when there is no MIDI output.
char** tm_get_mididev_list(TempoMind_t* handle);

// Performer corrections (see corrections.h): tap, tempo factor (x2, /2,
// x3/2, x2/3 as numerator and denominator), nudge (positive seconds: later),
// "this beat is bar 1", hold (1 on, 0 off) and reset. Each takes the
// engine-clock time of the press (tm_get_engine_time when it happened) and
// reaches the MIDI clock within a beat, without a Stop or a missing Clock.
// From any thread but the audio callback; ignored on a stopped handle. The
// corrections start empty with every new ticker (tm_run, tm_reinit).
double tm_get_engine_time(TempoMind_t* handle);
void tm_tap(TempoMind_t* handle, double at);
void tm_tempo_factor(TempoMind_t* handle, int numerator, int denominator, double at);
void tm_nudge(TempoMind_t* handle, double seconds, double at);
void tm_bar_one(TempoMind_t* handle, double at);
void tm_hold(TempoMind_t* handle, int on, double at);
void tm_reset_corrections(TempoMind_t* handle, double at);
// The corrections in force as a short text ("tap, x2, nudge +10 ms, bar 1,
// hold"; empty when none, or on a stopped handle), as snprintf into text.
int tm_get_corrections(TempoMind_t* handle, char* text, int size);
// The MIDI clock's Start waits for the next bar start instead of the next
// beat (off by default); kept for the tickers tm_run and tm_reinit make.
void tm_set_start_on_bar(TempoMind_t* handle, int on);
int tm_get_start_on_bar(TempoMind_t* handle);
// Whether the corrections hold the grid (1) or follow the tracker (0).
int tm_get_hold(TempoMind_t* handle);

// Ableton Link (linksink.h), beside the MIDI clock: joins or starts a
// session (on) or leaves it; lead: the session's phase follows the music at
// once rather than gently (forceBeatAtTime, at most once a bar). The session
// stays across engine restarts. 0, or 1 on a null handle.
int tm_enable_link(TempoMind_t* handle, int on, int lead);
// The Link side's state (a default one while Link was never switched on).
link_sink_status tm_get_link_status(TempoMind_t* handle);
// OSC (oscsink.h): the UDP target "HOST:PORT" (empty or null: off) and the
// address prefix (null: /kadenzo). 0, or 1 with the reason in *error (may be
// null) when either is not valid; the OSC output is then unchanged.
int tm_set_osc(TempoMind_t* handle, const char* target, const char* prefix, std::string* error);
osc_sink_counts tm_get_osc_counts(TempoMind_t* handle);

int tm_add_callback(TempoMind_t* handle, int kind, void* first, void* second);
void tm_enable_beat_printout();
void tm_disable_beat_printout();

#endif
