// The engine's tm_ interface, recorded instead of run (see app_fakes.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app_fakes.h"
#include "tempomind.h"

int TEMPOMIND_ERROR_STATUS = 0;

namespace fakes {

namespace {
Engine& engineState() {
    static Engine state;
    return state;
}
void record(const char* name, std::vector<double> args = {}) {
    engineState().calls.push_back({name, std::move(args)});
}
// The port list handed out by tm_get_mididev_list, owned here as the driver would.
std::vector<std::unique_ptr<char[]>>& portNameStorage() {
    static std::vector<std::unique_ptr<char[]>> storage;
    return storage;
}
std::vector<char*>& portNameArray() {
    static std::vector<char*> array;
    return array;
}
}  // namespace

Engine& engine() {
    return engineState();
}

int Engine::count(const std::string& name) const {
    int n = 0;
    for (const Call& call : calls) n += call.name == name ? 1 : 0;
    return n;
}

std::vector<double> Engine::last(const std::string& name) const {
    const int index = lastIndex(name);
    return index < 0 ? std::vector<double>{} : calls[index].args;
}

int Engine::lastIndex(const std::string& name) const {
    for (int i = static_cast<int>(calls.size()) - 1; i >= 0; --i)
        if (calls[i].name == name) return i;
    return -1;
}

}  // namespace fakes

using fakes::record;

TempoMind_t* tm_init(int, int midi_port) {
    record("init", {static_cast<double>(midi_port)});
    fakes::Engine& e = fakes::engine();
    if (e.failInit) {
        TEMPOMIND_ERROR_STATUS = e.failStatus;
        return nullptr;
    }
    if (e.midiPorts.empty()) {
        TEMPOMIND_ERROR_STATUS = 3;
        return nullptr;
    }
    e.currentMidi = 0;
    return new TempoMind_t;
}

TempoMind_t* tm_init_recorded(int ignored, int midi_port, const midioutput_recorder_config&) {
    return tm_init(ignored, midi_port);
}

void tm_close(TempoMind_t* handle) {
    record("close");
    delete handle;
}
int tm_stop(TempoMind_t*) {
    record("stop");
    return 0;
}
void tm_run(TempoMind_t*) {
    record("run");
}
int tm_reinit(TempoMind_t*) {
    record("reinit");
    return 1;
}
void tm_start_sequencer(TempoMind_t*) {
    record("start_sequencer");
}
void tm_register_gettime_cb(TempoMind_t*, void*, tm_gettime_cb) {
    record("register_gettime_cb");
}
void tm_process_audio(const float*, unsigned long, TempoMind_t*, double) {}

void tm_get_meter_phases(TempoMind_t*, double* bar, double* beat, double* tatum) {
    const fakes::Engine& e = fakes::engine();
    *bar = e.phases[0];
    *beat = e.phases[1];
    *tatum = e.phases[2];
}
double tm_get_beat_phase(TempoMind_t*) {
    return fakes::engine().phases[1];
}
double tm_get_bpm(TempoMind_t*) {
    return 120.0;
}
double tm_get_input_level(TempoMind_t*) {
    return fakes::engine().inputLevel;
}
int tm_has_steady_beat(TempoMind_t*) {
    return fakes::engine().steadyBeat;
}
double tm_get_nonbeatyness(TempoMind_t*) {
    return fakes::engine().nonBeatyness;
}
double tm_get_anti_delay(TempoMind_t*) {
    return fakes::engine().antiDelay;
}
void tm_set_anti_delay(TempoMind_t*, double seconds) {
    record("set_anti_delay", {seconds});
    fakes::engine().antiDelay = seconds;
}
double tm_change_half_time(TempoMind_t*, double seconds) {
    record("change_half_time", {seconds});
    return seconds;
}
void tm_change_myyValues(TempoMind_t*, double bar, double beat, double tatum) {
    record("change_myyValues", {bar, beat, tatum});
}

meterticker_phase_node* tm_register_phase_cb(TempoMind_t*, int level, void*, tm_phase_cb) {
    record("register_phase_cb", {static_cast<double>(level)});
    return nullptr;
}
void tm_unregister_phase_cb(TempoMind_t*, void*) {
    record("unregister_phase_cb");
}

void tm_send_midi_message(TempoMind_t*, int kind, int channel, int number, int value) {
    record("send_midi_message", {double(kind), double(channel), double(number), double(value)});
}
int tm_send_test_midinote(TempoMind_t*, unsigned level) {
    record("send_test_midinote", {static_cast<double>(level)});
    return 0;
}
int tm_enable_midiclock(TempoMind_t*, int on) {
    record("enable_midiclock", {static_cast<double>(on)});
    return 0;
}
int tm_enable_midinote(TempoMind_t*, int on) {
    record("enable_midinote", {static_cast<double>(on)});
    return 0;
}
int tm_enable_midiphase(TempoMind_t*, int on) {
    record("enable_midiphase", {static_cast<double>(on)});
    return 0;
}
int tm_set_mididev(TempoMind_t*, int port) {
    record("set_mididev", {static_cast<double>(port)});
    fakes::Engine& e = fakes::engine();
    if (port < 0) port = 0;
    if (port >= static_cast<int>(e.midiPorts.size())) {
        e.currentMidi = -1;
        return 1;
    }
    e.currentMidi = port;
    return 0;
}
int tm_open_own_mididev(TempoMind_t*, const char* name) {
    record("open_own_mididev", {});
    fakes::Engine& e = fakes::engine();
    e.ownPort = name;
    const std::string listed = std::string("kadenzo:") + name;
    auto found = std::find(e.midiPorts.begin(), e.midiPorts.end(), listed);
    if (found == e.midiPorts.end()) found = e.midiPorts.insert(e.midiPorts.end(), listed);
    e.currentMidi = static_cast<int>(found - e.midiPorts.begin());
    return 0;
}
int tm_get_current_mididev(TempoMind_t*) {
    return fakes::engine().currentMidi;
}
char** tm_get_mididev_list(TempoMind_t*) {
    auto& storage = fakes::portNameStorage();
    auto& array = fakes::portNameArray();
    storage.clear();
    array.clear();
    for (const std::string& name : fakes::engine().midiPorts) {
        storage.emplace_back(new char[name.size() + 1]);
        std::memcpy(storage.back().get(), name.c_str(), name.size() + 1);
        array.push_back(storage.back().get());
    }
    array.push_back(nullptr);
    return array.data();
}

int tm_add_callback(TempoMind_t*, int, void*, void*) {
    return 0;
}
void tm_enable_beat_printout() {}
void tm_disable_beat_printout() {
    record("disable_beat_printout");
}

void tm_set_prediction_log(TempoMind_t*, std::FILE*) {}

TempoMind_t* tm_init_model(int ignored, int midi_port, meterTracker::TrackingModel model) {
    fakes::engine().trackingModel = model == meterTracker::TrackingModel::Enhanced ? 1 : 0;
    return tm_init(ignored, midi_port);
}
void tm_set_tracking_model(TempoMind_t*, meterTracker::TrackingModel model) {
    const int value = model == meterTracker::TrackingModel::Enhanced ? 1 : 0;
    record("set_tracking_model", {static_cast<double>(value)});
    fakes::engine().trackingModel = value;
}
meterTracker::TrackingModel tm_get_tracking_model(TempoMind_t*) {
    return fakes::engine().trackingModel == 1 ? meterTracker::TrackingModel::Enhanced
                                               : meterTracker::TrackingModel::Classic;
}
double tm_get_engine_time(TempoMind_t*) {
    return fakes::engine().engineTime;
}

void tm_tap(TempoMind_t*, double at) {
    record("tap", {at});
}

void tm_tempo_factor(TempoMind_t*, int numerator, int denominator, double at) {
    record("tempo_factor", {static_cast<double>(numerator), static_cast<double>(denominator), at});
}

void tm_nudge(TempoMind_t*, double seconds, double at) {
    record("nudge", {seconds, at});
}

void tm_bar_one(TempoMind_t*, double at) {
    record("bar_one", {at});
}

void tm_hold(TempoMind_t*, int on, double at) {
    record("hold", {static_cast<double>(on), at});
    fakes::engine().holding = on != 0;
}

void tm_reset_corrections(TempoMind_t*, double at) {
    record("reset_corrections", {at});
}

int tm_get_corrections(TempoMind_t*, char* text, int size) {
    return std::snprintf(text, size > 0 ? static_cast<size_t>(size) : 0, "%s",
                         fakes::engine().corrections.c_str());
}

void tm_set_start_on_bar(TempoMind_t*, int on) {
    record("set_start_on_bar", {static_cast<double>(on)});
    fakes::engine().startOnBar = on != 0;
}

int tm_get_start_on_bar(TempoMind_t*) {
    return fakes::engine().startOnBar ? 1 : 0;
}

int tm_get_hold(TempoMind_t*) {
    return fakes::engine().holding ? 1 : 0;
}

int tm_enable_link(TempoMind_t*, int on, int lead) {
    record("enable_link", {static_cast<double>(on), static_cast<double>(lead)});
    fakes::engine().link = on != 0;
    return 0;
}
link_sink_status tm_get_link_status(TempoMind_t*) {
    link_sink_status status;
    status.enabled = fakes::engine().link;
    return status;
}
int tm_set_osc(TempoMind_t*, const char* target, const char* prefix, std::string* error) {
    record("set_osc");
    const std::string t = target ? target : "", p = prefix ? prefix : "/kadenzo";
    if ((!t.empty() && t.find(':') == std::string::npos) || p.empty() || p[0] != '/') {
        if (error) *error = "not valid: " + t + " " + p;
        return 1;
    }
    fakes::engine().oscTarget = t;
    fakes::engine().oscPrefix = p;
    return 0;
}
osc_sink_counts tm_get_osc_counts(TempoMind_t*) {
    return osc_sink_counts();
}
