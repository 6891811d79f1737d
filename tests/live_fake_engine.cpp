// The fake tm_ interface (see live_fake_engine.h).
#include "live_fake_engine.h"

#include <algorithm>
#include <cstdio>
#include <memory>

int TEMPOMIND_ERROR_STATUS = 0;

namespace fake {

namespace {
std::unique_ptr<Engine> current(new Engine);
std::vector<char*> portArray;
}  // namespace

Engine& engine() {
    return *current;
}

void reset() {
    current.reset(new Engine);
    TEMPOMIND_ERROR_STATUS = 0;
}

}  // namespace fake

using fake::engine;

namespace {
std::string args(std::initializer_list<double> values) {
    std::string text;
    for (double v : values) {
        char number[32];
        std::snprintf(number, sizeof number, " %g", v);
        text += number;
    }
    return text;
}
}  // namespace

TempoMind_t* tm_init(int ignored, int midi_port) {
    engine().call("tm_init" + args({double(ignored), double(midi_port)}));
    if (engine().initFailure != 0) {
        TEMPOMIND_ERROR_STATUS = engine().initFailure;
        return nullptr;
    }
    return new TempoMind_t;
}

void tm_close(TempoMind_t* handle) {
    engine().call("tm_close");
    // The engine's timer thread reads the clock until it has been joined.
    engine().clockAtClose = engine().readClock();
    delete handle;
}

int tm_stop(TempoMind_t*) {
    engine().call("tm_stop");
    engine().stopped.store(true);
    return 0;
}

void tm_run(TempoMind_t*) {
    engine().call("tm_run");
    engine().gettime.store(nullptr);  // a new sequencer has no clock yet
    engine().stopped.store(false);
}

void tm_start_sequencer(TempoMind_t*) {
    engine().call("tm_start_sequencer");
}

void tm_register_gettime_cb(TempoMind_t*, void* user, tm_gettime_cb gettime) {
    engine().call("tm_register_gettime_cb");
    engine().gettimeUser.store(user);
    engine().gettime.store(gettime);
}

void tm_process_audio(const float* samples, unsigned long count, TempoMind_t*, double time) {
    fake::Engine& e = engine();
    const std::size_t n = e.blockCount.load(std::memory_order_relaxed);
    if (n >= fake::Engine::kMaxBlocks) return;
    fake::Block& block = e.blocks[n];
    block.time = time;
    block.count = count;
    block.first = count ? samples[0] : 0.0f;
    block.minimum = count ? *std::min_element(samples, samples + count) : 0.0f;
    block.maximum = count ? *std::max_element(samples, samples + count) : 0.0f;
    block.stopped = e.stopped.load();
    e.blockCount.store(n + 1);
}

void tm_get_meter_phases(TempoMind_t*, double* bar, double* beat, double* tatum) {
    ++engine().polls;
    *bar = engine().bar;
    *beat = engine().beat;
    *tatum = engine().tatum;
}

double tm_get_input_level(TempoMind_t*) {
    return engine().inputLevel;
}

int tm_has_steady_beat(TempoMind_t*) {
    return engine().steadyBeat;
}

double tm_get_nonbeatyness(TempoMind_t*) {
    return engine().nonBeatyness;
}

double tm_get_bpm(TempoMind_t*) {
    return 120.0;
}

double tm_get_anti_delay(TempoMind_t*) {
    return engine().antiDelay;
}

void tm_set_anti_delay(TempoMind_t*, double seconds) {
    engine().call("tm_set_anti_delay" + args({seconds}));
    engine().antiDelay = seconds;
}

double tm_change_half_time(TempoMind_t*, double seconds) {
    engine().call("tm_change_half_time" + args({seconds}));
    return seconds;
}

void tm_change_myyValues(TempoMind_t*, double bar, double beat, double tatum) {
    engine().call("tm_change_myyValues" + args({bar, beat, tatum}));
}

meterticker_phase_node* tm_register_phase_cb(TempoMind_t*, int level, void*, tm_phase_cb) {
    engine().call("tm_register_phase_cb" + args({double(level)}));
    return nullptr;
}

void tm_unregister_phase_cb(TempoMind_t*, void*) {
    engine().call("tm_unregister_phase_cb");
}

void tm_send_midi_message(TempoMind_t*, int kind, int channel, int number, int value) {
    engine().call("tm_send_midi_message" +
                  args({double(kind), double(channel), double(number), double(value)}));
}

int tm_send_test_midinote(TempoMind_t*, unsigned level) {
    engine().call("tm_send_test_midinote" + args({double(level)}));
    return 0;
}

int tm_enable_midiclock(TempoMind_t*, int on) {
    engine().call("tm_enable_midiclock" + args({double(on)}));
    return 0;
}

int tm_enable_midinote(TempoMind_t*, int on) {
    engine().call("tm_enable_midinote" + args({double(on)}));
    return 0;
}

int tm_enable_midiphase(TempoMind_t*, int on) {
    engine().call("tm_enable_midiphase" + args({double(on)}));
    return 0;
}

int tm_set_mididev(TempoMind_t*, int port) {
    engine().call("tm_set_mididev" + args({double(port)}));
    if (port >= static_cast<int>(engine().midiPorts.size())) return 1;
    engine().openPort = port < 0 ? 0 : port;
    return 0;
}

int tm_open_own_mididev(TempoMind_t*, const char* name) {
    engine().call(std::string("tm_open_own_mididev ") + name);
    return 0;
}

int tm_get_current_mididev(TempoMind_t*) {
    return engine().openPort;
}

char** tm_get_mididev_list(TempoMind_t*) {
    fake::portArray.clear();
    for (std::string& name : engine().midiPorts) fake::portArray.push_back(name.data());
    fake::portArray.push_back(nullptr);
    return fake::portArray.data();
}

void tm_enable_beat_printout() {}

void tm_disable_beat_printout() {
    engine().call("tm_disable_beat_printout");
}

void tm_set_prediction_log(TempoMind_t*, std::FILE*) {}

TempoMind_t* tm_init_model(int ignored, int midi_port, meterTracker::TrackingModel) {
    return tm_init(ignored, midi_port);
}
void tm_set_tracking_model(TempoMind_t*, meterTracker::TrackingModel) {}
meterTracker::TrackingModel tm_get_tracking_model(TempoMind_t*) {
    return meterTracker::TrackingModel::Classic;
}
double tm_get_engine_time(TempoMind_t*) {
    return 0.0;
}
void tm_tap(TempoMind_t*, double at) {
    engine().call("tm_tap" + args({at}));
}
void tm_tempo_factor(TempoMind_t*, int numerator, int denominator, double at) {
    engine().call("tm_tempo_factor" + args({double(numerator), double(denominator), at}));
}
void tm_nudge(TempoMind_t*, double seconds, double at) {
    engine().call("tm_nudge" + args({seconds, at}));
}
void tm_bar_one(TempoMind_t*, double at) {
    engine().call("tm_bar_one" + args({at}));
}
void tm_hold(TempoMind_t*, int on, double at) {
    engine().call("tm_hold" + args({double(on), at}));
}
void tm_reset_corrections(TempoMind_t*, double at) {
    engine().call("tm_reset_corrections" + args({at}));
}
int tm_get_corrections(TempoMind_t*, char* text, int size) {
    if (size > 0) text[0] = '\0';
    return 0;
}
void tm_set_start_on_bar(TempoMind_t*, int on) {
    engine().call("tm_set_start_on_bar" + args({double(on)}));
}
int tm_get_start_on_bar(TempoMind_t*) {
    return 0;
}
int tm_get_hold(TempoMind_t*) {
    return 0;
}

// The outputs beside MIDI: accepted and recorded, never started.
int tm_enable_link(TempoMind_t*, int, int) {
    engine().call("tm_enable_link");
    return 0;
}
link_sink_status tm_get_link_status(TempoMind_t*) {
    return link_sink_status();
}
int tm_set_osc(TempoMind_t*, const char*, const char*, std::string*) {
    engine().call("tm_set_osc");
    return 0;
}
osc_sink_counts tm_get_osc_counts(TempoMind_t*) {
    return osc_sink_counts();
}
