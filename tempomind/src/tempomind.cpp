#include "tempomind.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>

#include "common.h"
#include "tempomind_version.h"

int TEMPOMIND_ERROR_STATUS = 0;

namespace {

// The recorder configuration of a recorded handle; the names are copied by
// the driver, so the array only has to live through midioutput_init.
struct RecorderConfig {
    std::vector<const char*> names;
    midioutput_recorder_config config;

    explicit RecorderConfig(const TempoMind_t* handle) {
        for (const std::string& name : handle->recorder_port_names) names.push_back(name.c_str());
        names.push_back(nullptr);
        config.port_names = names.data();
        config.clock = handle->recorder_clock;
        config.clock_user = handle->recorder_clock_user;
    }
};

void attach_sinks(TempoMind_t* handle, meterticker_state* ticker) {
    if (!ticker) return;
    if (handle->link) meterticker_attach_sink(ticker, handle->link);
    if (handle->osc) meterticker_attach_sink(ticker, handle->osc);
}

// A new ticker for tm_run and tm_reinit on MIDI port 0. When MIDI cannot be
// started it runs without (analysis, phases and phase callbacks keep
// working); null only when no ticker can be made at all.
meterticker_state* start_ticker(TempoMind_t* handle, sequencer_state* sequencer) {
    RecorderConfig recorder(handle);
    meterticker_options options;
    options.midi_recorder = handle->recorded ? &recorder.config : nullptr;
    options.require_midi = false;
    options.prediction_log = handle->prediction_log;
    options.model = handle->model;
    meterticker_state* ticker = nullptr;
    const int status = meterticker_init(sequencer, 0, &ticker, &options);
    if (status != 0) {
        tm_logmsg(3, "Tempomind: no meter ticker (status %d); the engine has no analysis or output",
                  status);
        return nullptr;
    }
    if (!meterticker_midi(ticker)) tm_logmsg(3, "Tempomind: running without MIDI output");
    meterticker_set_start_on_bar(ticker, handle->start_on_bar);
    attach_sinks(handle, ticker);
    return ticker;
}

TempoMind_t* init_handle(int midi_port, const midioutput_recorder_config* recorder,
                         meterTracker::TrackingModel model) {
    tm_logmsg(1, "Version %s\n", tm_version_str);
    TempoMind_t* handle = new (std::nothrow) TempoMind_t;
    if (!handle) {
        TEMPOMIND_ERROR_STATUS = 1;
        return nullptr;
    }
    if (recorder) {
        handle->recorded = true;
        for (int i = 0; recorder->port_names && recorder->port_names[i]; ++i) {
            handle->recorder_port_names.emplace_back(recorder->port_names[i]);
        }
        handle->recorder_clock = recorder->clock;
        handle->recorder_clock_user = recorder->clock_user;
    }

    sequencer_state* sequencer = init_sequencer();
    if (!sequencer) {
        delete handle;
        TEMPOMIND_ERROR_STATUS = 1;
        return nullptr;
    }
    handle->sequencer.store(sequencer);
    handle->callbacks = nullptr;
    handle->model = model;

    RecorderConfig recording(handle);
    meterticker_options options;
    options.midi_recorder = handle->recorded ? &recording.config : nullptr;
    options.model = model;
    meterticker_state* ticker = nullptr;
    const int status = meterticker_init(sequencer, midi_port, &ticker, &options);
    if (status != 0) {
        // Nothing else holds these yet; releasing them is safe.
        close_sequencer(sequencer);
        delete handle;
        TEMPOMIND_ERROR_STATUS = status;
        return nullptr;
    }
    handle->ticker = ticker;
    return handle;
}

midioutput_state* midi_of(TempoMind_t* handle) {
    return handle && handle->ticker ? meterticker_midi(handle->ticker) : nullptr;
}

void free_callbacks(TempoMind_t* handle) {
    tm_callback_record* record = handle->callbacks;
    handle->callbacks = nullptr;
    while (record) {
        tm_callback_record* next = record->next;
        delete record;
        record = next;
    }
}

}  // namespace

TempoMind_t* tm_init(int /*ignored*/, int midi_port) {
    return init_handle(midi_port, nullptr, meterTracker::TrackingModel::Classic);
}

TempoMind_t* tm_init_model(int /*ignored*/, int midi_port, meterTracker::TrackingModel model) {
    return init_handle(midi_port, nullptr, model);
}

TempoMind_t* tm_init_recorded(int /*ignored*/, int midi_port,
                              const midioutput_recorder_config& recorder) {
    return init_handle(midi_port, &recorder, meterTracker::TrackingModel::Classic);
}

void tm_close(TempoMind_t* handle) {
    if (!handle) return;
    std::fprintf(stderr, "Closing meterticker..\n");
    meterticker_close(handle->ticker);
    handle->ticker = nullptr;
    free_callbacks(handle);
    std::fprintf(stderr, "Closing seq..\n");
    close_sequencer(handle->sequencer.exchange(nullptr));
    // After the ticker: its Stop reaches them first.
    delete handle->osc;
    delete handle->link;
    delete handle;
}

int tm_stop(TempoMind_t* handle) {
    if (!handle) return 0;
    std::fprintf(stderr, "Closing meterticker!\n");
    meterticker_close(handle->ticker);
    handle->ticker = nullptr;
    std::fprintf(stderr, "Closing sequencer!\n");
    // Out of the handle first, so that a late audio block finds no sequencer.
    close_sequencer(handle->sequencer.exchange(nullptr));
    return 0;
}

void tm_run(TempoMind_t* handle) {
    if (!handle) return;
    if (handle->sequencer.load()) {
        tm_logmsg(2, "tm_run: the engine is running; stop it first");
        return;
    }
    sequencer_state* sequencer = init_sequencer();
    if (!sequencer) {
        tm_logmsg(3, "tm_run: no audio sequencer; the engine stays stopped");
        return;
    }
    handle->ticker = start_ticker(handle, sequencer);
    handle->sequencer.store(sequencer);
    start_sequencer(sequencer);
}

int tm_reinit(TempoMind_t* handle) {
    if (!handle) return 1;
    sequencer_state* sequencer = handle->sequencer.load();
    if (!sequencer) {
        tm_logmsg(2, "tm_reinit: the engine is stopped");
        return 1;
    }
    stop_sequencer(sequencer);
    meterticker_close(handle->ticker);
    handle->ticker = nullptr;
    handle->ticker = start_ticker(handle, sequencer);
    if (midi_of(handle)) tm_set_mididev(handle, 0);
    start_sequencer(sequencer);
    return 1;
}

void tm_start_sequencer(TempoMind_t* handle) {
    sequencer_state* sequencer = handle ? handle->sequencer.load() : nullptr;
    if (sequencer) start_sequencer(sequencer);
}

void tm_set_prediction_log(TempoMind_t* handle, std::FILE* log) {
    if (!handle) return;
    handle->prediction_log = log;
    if (handle->ticker) meterticker_set_prediction_log(handle->ticker, log);
}

void tm_set_tracking_model(TempoMind_t* handle, meterTracker::TrackingModel model) {
    if (handle) handle->model = model;
}

meterTracker::TrackingModel tm_get_tracking_model(TempoMind_t* handle) {
    return handle ? handle->model : meterTracker::TrackingModel::Classic;
}

void tm_register_gettime_cb(TempoMind_t* handle, void* user, tm_gettime_cb gettime) {
    sequencer_state* sequencer = handle ? handle->sequencer.load() : nullptr;
    if (sequencer) sequencer_register_gettime_cb(sequencer, user, gettime);
}

void tm_process_audio(const float* samples, unsigned long count, TempoMind_t* handle, double time) {
    if (!handle || !samples || count == 0) return;
    sequencer_state* sequencer = handle->sequencer.load(std::memory_order_acquire);
    if (sequencer) sequencer_audio_cb(samples, count, sequencer, time);
}

void tm_get_meter_phases(TempoMind_t* handle, double* bar, double* beat, double* tatum) {
    double phases[METERLEVEL_COUNT] = {0.0, 0.0, 0.0};
    if (handle && handle->ticker) meterticker_get_phases(handle->ticker, phases);
    if (bar) *bar = phases[METERLEVEL_BAR];
    if (beat) *beat = phases[METERLEVEL_BEAT];
    if (tatum) *tatum = phases[METERLEVEL_TATUM];
}

double tm_get_beat_phase(TempoMind_t* handle) {
    if (!handle || !handle->ticker) return 0.0;
    return meterticker_get_phase(handle->ticker, METERLEVEL_BEAT);
}

double tm_get_bpm(TempoMind_t* handle) {
    if (!handle || !handle->ticker) return std::numeric_limits<double>::infinity();
    return meterticker_get_bpm(handle->ticker);
}

int tm_has_steady_beat(TempoMind_t* handle) {
    if (!handle || !handle->ticker) return 0;
    const double bpm = meterticker_get_bpm(handle->ticker);
    return std::isfinite(bpm) && bpm > 0.0 && meterticker_has_steady_beat(handle->ticker);
}

double tm_get_input_level(TempoMind_t* handle) {
    return handle && handle->ticker ? meterticker_get_level(handle->ticker) : -100.0;
}

double tm_get_nonbeatyness(TempoMind_t* handle) {
    return handle && handle->ticker ? meterticker_get_nonbeatyness(handle->ticker) : 0.0;
}

double tm_get_anti_delay(TempoMind_t* handle) {
    return handle && handle->ticker ? meterticker_get_anti_delay(handle->ticker) : 0.0;
}

void tm_set_anti_delay(TempoMind_t* handle, double seconds) {
    if (handle && handle->ticker) meterticker_set_anti_delay(handle->ticker, seconds);
}

double tm_change_half_time(TempoMind_t* handle, double seconds) {
    if (!handle || !handle->ticker) {
        tm_logmsg(3, "tm_change_half_time: the engine is stopped");
        return 0.0;
    }
    return meterticker_change_half_time(handle->ticker, seconds);
}

void tm_change_myyValues(TempoMind_t* handle, double bar, double beat, double tatum) {
    if (!handle || !handle->ticker) {
        tm_logmsg(3, "tm_change_myyValues: the engine is stopped");
        return;
    }
    meterticker_change_myyValues(handle->ticker, bar, beat, tatum);
}

meterticker_phase_node* tm_register_phase_cb(TempoMind_t* handle, int level, void* user,
                                             tm_phase_cb callback) {
    if (!handle || !handle->ticker) {
        tm_logmsg(3, "tm_register_phase_cb: the engine is stopped");
        return nullptr;
    }
    return meterticker_register_phase_cb(handle->ticker, level, user, callback);
}

void tm_unregister_phase_cb(TempoMind_t* handle, void* user) {
    if (handle && handle->ticker) meterticker_unregister_phase_cb(handle->ticker, user);
}

void tm_send_midi_message(TempoMind_t* handle, int kind, int channel, int number, int value) {
    if (handle && handle->ticker) {
        meterticker_send_midi_message(handle->ticker, kind, channel, number, value);
    }
}

int tm_send_test_midinote(TempoMind_t* handle, unsigned level) {
    midioutput_state* midi = midi_of(handle);
    if (!midi) {
        tm_logmsg(3, "MIDI note fails - no MIDI");
        return 1;
    }
    if (level >= METERLEVEL_COUNT) {
        tm_logmsg(3, "MIDI test note: no level %u", level);
        return 1;
    }
    const meterticker_note& note = handle->ticker->notes[level];
    tm_logmsg(0, "Sending a TEST MIDI note: %d", note.note);
    midioutput_send_note_on(midi, note.channel, note.note, 127);
    TMSleep(50);
    midioutput_send_note_off(midi, note.channel, note.note, 0);
    return 0;
}

int tm_enable_midiclock(TempoMind_t* handle, int on) {
    if (!midi_of(handle)) {
        tm_logmsg(3, "MIDI clock fails - no MIDI");
        return 1;
    }
    meterticker_midiclock_out(handle->ticker, on);
    return 0;
}

int tm_enable_midinote(TempoMind_t* handle, int on) {
    if (!midi_of(handle)) {
        tm_logmsg(3, "MIDI note fails - no MIDI");
        return 1;
    }
    meterticker_midinote_out(handle->ticker, on);
    return 0;
}

int tm_enable_midiphase(TempoMind_t* handle, int on) {
    if (!midi_of(handle)) {
        tm_logmsg(3, "MIDI note fails - no MIDI");
        return 1;
    }
    meterticker_midiphase_out(handle->ticker, on);
    return 0;
}

namespace {

// Moves the MIDI output to another port: a Stop on the old one, and the
// clock on afterwards whatever it was before.
template <typename Open>
int switch_midi_port(TempoMind_t* handle, midioutput_state* midi, Open open) {
    meterticker_midiclock_out(handle->ticker, 0);  // MIDI Stop on the old port
    if (midioutput_get_open_port(midi) >= 0) midioutput_close(midi);
    const int result = open();
    meterticker_midiclock_out(handle->ticker, 1);
    return result;
}

}  // namespace

int tm_set_mididev(TempoMind_t* handle, int port) {
    midioutput_state* midi = midi_of(handle);
    if (!midi) return 1;
    return switch_midi_port(handle, midi, [&] { return midioutput_open(midi, port < 0 ? 0 : port); });
}

int tm_open_own_mididev(TempoMind_t* handle, const char* name) {
    midioutput_state* midi = midi_of(handle);
    if (!midi || !name || !name[0]) return 1;
    return switch_midi_port(handle, midi, [&] { return midioutput_open_own(midi, name); });
}

int tm_get_current_mididev(TempoMind_t* handle) {
    midioutput_state* midi = midi_of(handle);
    return midi ? midioutput_get_open_port(midi) : -1;
}

char** tm_get_mididev_list(TempoMind_t* handle) {
    midioutput_state* midi = midi_of(handle);
    if (!midi) return nullptr;
    midioutput_reinitialize_devices(midi);
    return midioutput_get_port_names(midi);
}

double tm_get_engine_time(TempoMind_t* handle) {
    return handle && handle->ticker ? meterticker_now(handle->ticker) : 0.0;
}

void tm_tap(TempoMind_t* handle, double at) {
    if (handle && handle->ticker) meterticker_tap(handle->ticker, at);
}

void tm_tempo_factor(TempoMind_t* handle, int numerator, int denominator, double at) {
    if (handle && handle->ticker) meterticker_tempo_factor(handle->ticker, numerator, denominator, at);
}

void tm_nudge(TempoMind_t* handle, double seconds, double at) {
    if (handle && handle->ticker) meterticker_nudge(handle->ticker, seconds, at);
}

void tm_bar_one(TempoMind_t* handle, double at) {
    if (handle && handle->ticker) meterticker_bar_one(handle->ticker, at);
}

void tm_hold(TempoMind_t* handle, int on, double at) {
    if (handle && handle->ticker) meterticker_hold(handle->ticker, on != 0, at);
}

void tm_reset_corrections(TempoMind_t* handle, double at) {
    if (handle && handle->ticker) meterticker_reset_corrections(handle->ticker, at);
}

int tm_get_corrections(TempoMind_t* handle, char* text, int size) {
    if (!handle || !handle->ticker) return std::snprintf(text, size > 0 ? size : 0, "%s", "");
    return meterticker_describe_corrections(handle->ticker, text, size);
}

void tm_set_start_on_bar(TempoMind_t* handle, int on) {
    if (!handle) return;
    handle->start_on_bar = on != 0;
    if (handle->ticker) meterticker_set_start_on_bar(handle->ticker, on != 0);
}

int tm_get_start_on_bar(TempoMind_t* handle) {
    return handle && handle->start_on_bar ? 1 : 0;
}

int tm_get_hold(TempoMind_t* handle) {
    if (!handle || !handle->ticker) return 0;
    return meterticker_corrections_status(handle->ticker).holding ? 1 : 0;
}

int tm_enable_link(TempoMind_t* handle, int on, int lead) {
    if (!handle) return 1;
    if (!handle->link) {
        if (!on) return 0;
        handle->link = new (std::nothrow) link_sink;
        if (!handle->link) return 1;
        if (handle->ticker) meterticker_attach_sink(handle->ticker, handle->link);
    }
    handle->link->set_lead(lead != 0);
    handle->link->enable(on != 0);
    tm_logmsg(1, "Ableton Link %s%s", on ? "on" : "off", on && lead ? " (lead)" : "");
    return 0;
}

link_sink_status tm_get_link_status(TempoMind_t* handle) {
    return handle && handle->link ? handle->link->status() : link_sink_status();
}

int tm_set_osc(TempoMind_t* handle, const char* target, const char* prefix, std::string* error) {
    std::string reason;
    if (!handle) {
        if (error) *error = "no engine";
        return 1;
    }
    const std::string wanted = target ? target : "";
    if (!handle->osc) {
        if (wanted.empty()) return 0;
        handle->osc = new (std::nothrow) osc_sink;
        if (!handle->osc) {
            if (error) *error = "out of memory";
            return 1;
        }
        if (handle->ticker) meterticker_attach_sink(handle->ticker, handle->osc);
    }
    if (!handle->osc->configure(wanted, prefix ? prefix : OSC_DEFAULT_PREFIX, &reason)) {
        if (error) *error = reason;
        return 1;
    }
    tm_logmsg(1, "OSC %s%s", wanted.empty() ? "off" : "to ", wanted.c_str());
    return 0;
}

osc_sink_counts tm_get_osc_counts(TempoMind_t* handle) {
    return handle && handle->osc ? handle->osc->counts() : osc_sink_counts();
}

int tm_add_callback(TempoMind_t* handle, int kind, void* first, void* second) {
    if (!handle) return 1;
    auto* record = new (std::nothrow) tm_callback_record{kind, first, second, handle->callbacks};
    if (!record) return 1;
    handle->callbacks = record;
    return 0;
}

void tm_enable_beat_printout() {}

void tm_disable_beat_printout() {}
