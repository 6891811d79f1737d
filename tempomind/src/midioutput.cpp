#include "midioutput.h"

#include <RtMidi.h>
#include <jack/jack.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "common.h"
#include "jack_watch.h"
#include "jackclient.h"

namespace {

// Names the output carries on the MIDI system (a JACK client and its port).
const char* const kClientName = "kadenzo-midi";
const char* const kPortName = "midi_out";

// A backend offers a live list of ports, one open port at a time and a send
// operation. The driver serialises every call under its lock. A send carries
// the engine-clock second the message is due at (MIDIOUTPUT_NOW: at once), so
// that a backend with its own output clock can place it there; the calls of
// one thread come in the order the ticker decided them, which is their order
// of time to within one timer pass.
class MidiBackend {
  public:
    virtual ~MidiBackend() = default;
    // The system's port names as they are now; false with a message on error
    // (names then holds whatever could be listed).
    virtual bool list_ports(std::vector<std::string>& names, std::string& error) = 0;
    virtual bool open(int index, std::string& error) = 0;
    // A port of Kadenzo's own called name; its full name in full_name.
    virtual bool open_own(const std::string& name, std::string& full_name, std::string& error) {
        (void)name;
        (void)full_name;
        error = "this MIDI system cannot make a port of Kadenzo's own";
        return false;
    }
    virtual void close() = 0;
    virtual void send(const unsigned char* bytes, int length, double time_s) = 0;
    // Seconds a message must be sent ahead of its time stamp; read without the lock.
    virtual double lead() const { return 0.0; }
};

// ---- RtMidi ---------------------------------------------------------------

// RtMidi reports errors synchronously on the calling thread, to the error
// callback once one is installed (it then no longer throws). The call under
// way points this slot at its own record so the callback can hand it over.
struct RtMidiErrorSlot {
    bool failed = false;
    std::string text;
    void note(const std::string& message) {
        if (failed) return;  // keep the first, most specific error
        failed = true;
        text = message;
    }
};
thread_local RtMidiErrorSlot* t_error_slot = nullptr;

void on_rtmidi_error(RtMidiError::Type type, const std::string& text, void* /*user*/) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
        tm_logmsg(type == RtMidiError::WARNING ? 2 : 0, "midioutput: %s", text.c_str());
        return;
    }
    if (t_error_slot) {
        t_error_slot->note(text);
    } else {
        tm_logmsg(3, "midioutput: %s", text.c_str());
    }
}

// Runs one RtMidi operation; whatever it reports or throws becomes a message
// in error and a false result. Nothing escapes.
template <typename Operation>
bool guarded(Operation&& operation, std::string& error) {
    RtMidiErrorSlot slot;
    RtMidiErrorSlot* const outer = t_error_slot;
    t_error_slot = &slot;
    try {
        operation();
    } catch (const RtMidiError& e) {
        slot.note(e.getMessage());
    } catch (const std::exception& e) {
        slot.note(e.what());
    } catch (...) {
        slot.note("unknown MIDI error");
    }
    t_error_slot = outer;
    if (slot.failed) error = slot.text;
    return !slot.failed;
}

// The default API throws when it cannot start (no ALSA sequencer) even when
// JACK is running, and does not try JACK by itself. Without the sequencer's
// device it is not tried at all: RtMidi and ALSA would print their failure
// on standard error before throwing.
RtMidiOut* create_rtmidi_output() {
    RtMidiOut* output = nullptr;
    std::string error;
    if (access("/dev/snd/seq", F_OK) != 0) {
        error = "no ALSA sequencer (/dev/snd/seq)";
    } else if (guarded([&] { output = new RtMidiOut(RtMidi::UNSPECIFIED, kClientName); },
                       error)) {
        return output;
    }
    tm_logmsg(0, "midioutput: default MIDI API unavailable (%s), trying JACK", error.c_str());
    if (guarded([&] { output = new RtMidiOut(RtMidi::UNIX_JACK, kClientName); }, error)) {
        return output;
    }
    tm_logmsg(3, "midioutput: JACK MIDI unavailable (%s)", error.c_str());
    return nullptr;
}

// RtMidi's JACK output waits without end inside its send once its buffer is
// full, and nothing drains that buffer after the JACK server has gone: the
// first thread to send would hang (the timer thread, then every caller of the
// driver). A watch on the same server (jack_watch.h) tells when the server
// goes, early enough to stop sending.

const char* const kServerDown = "the JACK server is not running";

class RtMidiBackend : public MidiBackend {
  public:
    explicit RtMidiBackend(RtMidiOut* output) : output_(output) {
        output_->setErrorCallback(on_rtmidi_error, nullptr);
        if (output_->getCurrentApi() == RtMidi::UNIX_JACK) {
            watch_ = std::make_unique<JackServerWatch>("kadenzo-midi-watch");
            if (!watch_->connected()) tm_logmsg(0, "midioutput: no JACK server to watch");
        }
    }
    ~RtMidiBackend() override {
        std::string ignored;
        guarded([&] { output_.reset(); }, ignored);
    }

    bool list_ports(std::vector<std::string>& names, std::string& error) override {
        names.clear();
        if (server_down()) {
            error = kServerDown;
            return false;
        }
        return guarded(
            [&] {
                const unsigned int count = output_->getPortCount();
                for (unsigned int i = 0; i < count; ++i) names.push_back(output_->getPortName(i));
            },
            error);
    }

    bool open(int index, std::string& error) override {
        if (server_down()) {
            error = kServerDown;
            return false;
        }
        if (guarded([&] { output_->openPort(static_cast<unsigned int>(index), kPortName); },
                    error)) {
            return true;
        }
        close();  // leave nothing half open
        return false;
    }

    bool open_own(const std::string& name, std::string& full_name, std::string& error) override {
        if (server_down()) {
            error = kServerDown;
            return false;
        }
        if (!guarded([&] { output_->openVirtualPort(name); }, error)) {
            close();
            return false;
        }
        full_name = std::string(kClientName) + ":" + name;
        return true;
    }

    void close() override {
        if (server_down()) return;  // nothing left to close; RtMidi cleans up when destroyed
        std::string error;
        if (!guarded([&] { output_->closePort(); }, error)) {
            tm_logmsg(3, "midioutput: %s", error.c_str());
        }
    }

    // RtMidi has no time-stamped output: at once.
    void send(const unsigned char* bytes, int length, double /*time_s*/) override {
        if (server_down()) return;
        std::string error;
        if (!guarded([&] { output_->sendMessage(bytes, static_cast<size_t>(length)); }, error)) {
            tm_logmsg(3, "midioutput: %s", error.c_str());
        }
    }

  private:
    // Also keeps RtMidi from retrying a server that is not there: every retry
    // prints to standard error and leaks a buffer.
    bool server_down() {
        if (!watch_ || !watch_->serverDown()) return false;
        if (!down_reported_) {
            down_reported_ = true;
            tm_logmsg(3, "midioutput: %s; MIDI output stopped", watch_->reason().c_str());
        }
        return true;
    }

    std::unique_ptr<RtMidiOut> output_;
    std::unique_ptr<JackServerWatch> watch_;
    bool down_reported_ = false;  // calls are serialised by the driver's lock
};

// ---- JACK ------------------------------------------------------------------

// The output port of Kadenzo's own JACK client; opening a port connects to
// it. Sends only queue (never block): the client's process callback writes
// each message at its frame.
class JackBackend : public MidiBackend {
  public:
    explicit JackBackend(JackEngineClient* client) : client_(client) {}

    bool list_ports(std::vector<std::string>& names, std::string& error) override {
        names.clear();
        if (client_->server_gone()) {
            error = kServerDown;
            return false;
        }
        names = client_->midi_destinations();
        return true;
    }
    bool open(int index, std::string& error) override {
        std::vector<std::string> names;
        if (!list_ports(names, error)) return false;
        if (index < 0 || index >= static_cast<int>(names.size())) {
            error = "MIDI port " + std::to_string(index) + " is gone";
            return false;
        }
        own_ = false;
        return client_->connect_midi(names[index], &error);
    }
    bool open_own(const std::string& name, std::string& full_name, std::string& error) override {
        // The same port again (a restarted engine) keeps its listeners.
        const std::string current = client_->midi_port_name();
        const bool same = current.size() > name.size() &&
                          current.compare(current.size() - name.size(), name.size(), name) == 0 &&
                          current[current.size() - name.size() - 1] == ':';
        if (!same) client_->disconnect_midi();
        if (!client_->rename_midi_port(name, &error)) return false;
        own_ = true;
        full_name = client_->midi_port_name();
        return true;
    }
    // The connections others made to a port of Kadenzo's own stay: the next
    // driver (an engine restart) opens the same port again.
    void close() override {
        // What is queued (a last Stop) goes out first.
        client_->flush_midi(client_->midi_lead_seconds() + 0.1);
        if (!own_) client_->disconnect_midi();
    }
    void send(const unsigned char* bytes, int length, double time_s) override {
        if (!client_->queue_midi(bytes, length, time_s) && !client_->server_gone() &&
            !overflow_reported_) {
            overflow_reported_ = true;  // calls are serialised by the driver's lock
            tm_logmsg(3, "midioutput: the JACK MIDI queue is full; messages are lost");
        }
    }
    double lead() const override { return client_->midi_lead_seconds(); }

  private:
    JackEngineClient* client_;
    bool own_ = false;  // the port is Kadenzo's own, connected to by others
    bool overflow_reported_ = false;
};

// ---- Recorder -------------------------------------------------------------

std::vector<std::string> copy_names(const char* const* names) {
    std::vector<std::string> copy;
    for (int i = 0; names && names[i]; ++i) copy.emplace_back(names[i]);
    return copy;
}

// Offers the ports it was given and keeps what would have been sent.
struct RecorderBackend : MidiBackend {
    explicit RecorderBackend(const midioutput_recorder_config& config)
        : ports(copy_names(config.port_names)),
          clock(config.clock),
          clock_user(config.clock_user),
          lead_seconds(config.lead) {}

    double lead() const override { return lead_seconds; }

    bool list_ports(std::vector<std::string>& names, std::string& /*error*/) override {
        names = ports;
        return true;
    }
    bool open(int index, std::string& error) override {
        if (index < 0 || index >= static_cast<int>(ports.size())) {
            error = "recorder has no port " + std::to_string(index);
            return false;
        }
        return true;
    }
    void close() override {}
    void send(const unsigned char* bytes, int length, double time_s) override {
        const double now = clock ? clock(clock_user) : 0.0;
        const double stamp = std::isnan(time_s) ? now : time_s;
        records.push_back({stamp, std::vector<unsigned char>(bytes, bytes + length), now});
    }

    std::vector<std::string> ports;  // what the "system" offers now
    midioutput_clock_cb clock;
    void* clock_user;
    double lead_seconds;
    std::vector<midioutput_record> records;
};

// ---- Port-name array ------------------------------------------------------

// Private copies of the names and the null-terminated array handed out.
struct PortList {
    std::vector<std::string> names;
    std::vector<char*> array;
};

std::unique_ptr<PortList> make_port_list(std::vector<std::string> names) {
    auto list = std::make_unique<PortList>();
    list->names = std::move(names);
    for (size_t i = 0; i < list->names.size(); ++i) {
        tm_logmsg(1, "MIDI out#%d: %s", static_cast<int>(i), list->names[i].c_str());
        list->array.push_back(&list->names[i][0]);
    }
    list->array.push_back(nullptr);
    return list;
}

// Where a port called name is now: its old index if it is still there,
// otherwise its first appearance; -1 when it is gone.
int find_port(const std::vector<std::string>& names, const std::string& name, int old_index) {
    if (old_index >= 0 && old_index < static_cast<int>(names.size()) && names[old_index] == name) {
        return old_index;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

void report_open_failure(const char* reason) {
    std::printf("Could not open midi output: %s\n", reason);
    std::fflush(stdout);
    tm_logmsg(3, "Could not open midi output: %s", reason);
}

}  // namespace

struct midioutput_state {
    // Serialises every backend call: the timer thread's sends, the
    // application's sends and port changes, and reads of the records.
    mutable std::mutex lock;
    std::unique_ptr<MidiBackend> backend;
    RecorderBackend* recorder = nullptr;  // the backend, when it is the recorder
    std::unique_ptr<PortList> ports;
    bool quiet = false;              // see midioutput_recorder_config::quiet
    std::atomic<int> open_port{-1};  // index into ports, -1 when none is open
    std::string open_name;           // name of the open port
    bool own_open = false;           // the open port is a port of Kadenzo's own
    bool backend_open = false;       // the backend holds an open port
    // The open port's transport is stopped: a Stop went out and no Start or
    // Continue since. A further Stop would say nothing new.
    bool stopped = false;

    // Callers hold the lock.
    void close_backend() {
        open_port.store(-1);
        if (backend_open) backend->close();
        backend_open = false;
        own_open = false;
    }
    // The backend's ports now, with the own port (when open) at the end.
    std::vector<std::string> current_ports() {
        std::vector<std::string> names;
        std::string error;
        if (!backend->list_ports(names, error)) {
            tm_logmsg(3, "midioutput: listing ports failed: %s", error.c_str());
        }
        if (own_open) names.push_back(open_name);
        return names;
    }
};

namespace {

std::mutex live_config_lock;
midioutput_live_config live_config;

}  // namespace

void midioutput_set_live_config(const midioutput_live_config& config) {
    std::lock_guard<std::mutex> hold(live_config_lock);
    live_config = config;
}

midioutput_live_config midioutput_get_live_config() {
    std::lock_guard<std::mutex> hold(live_config_lock);
    return live_config;
}

midioutput_state* midioutput_init(const midioutput_recorder_config* recorder) {
    std::unique_ptr<MidiBackend> backend;
    RecorderBackend* recorder_backend = nullptr;
    const midioutput_live_config live = recorder ? midioutput_live_config() : midioutput_get_live_config();
    if (recorder) {
        auto made = std::make_unique<RecorderBackend>(*recorder);
        recorder_backend = made.get();
        backend = std::move(made);
    } else if (live.jack) {
        backend = std::make_unique<JackBackend>(live.jack);
    } else {
        RtMidiOut* output = create_rtmidi_output();
        if (!output) {
            tm_logmsg(3, "Midi output initialization failed");
            return nullptr;
        }
        backend = std::make_unique<RtMidiBackend>(output);
    }

    std::vector<std::string> names;
    std::string error;
    if (!backend->list_ports(names, error)) {
        tm_logmsg(3, "midioutput: listing ports failed: %s", error.c_str());
    }
    if (names.empty() && live.own_port.empty()) {
        tm_logmsg(3, "No MIDI ports");
        return nullptr;
    }

    auto* driver = new midioutput_state;
    driver->backend = std::move(backend);
    driver->recorder = recorder_backend;
    driver->quiet = recorder && recorder->quiet;
    driver->ports = make_port_list(std::move(names));
    if (!live.own_port.empty() && midioutput_open_own(driver, live.own_port.c_str()) != 0) {
        midioutput_free(driver);
        return nullptr;
    }
    return driver;
}

int midioutput_open_own(midioutput_state* driver, const char* name) {
    if (!driver || !name || !name[0]) return 1;
    std::lock_guard<std::mutex> hold(driver->lock);
    if (driver->quiet) {
        tm_logmsg(0, "midioutput: opening a port of its own: %s", name);
    } else {
        std::printf("midioutput: opening a port of its own: %s\n", name);
        std::fflush(stdout);
    }
    if (driver->backend_open) driver->close_backend();
    std::string full_name, error;
    if (!driver->backend->open_own(name, full_name, error)) {
        report_open_failure(error.c_str());
        return 1;
    }
    driver->backend_open = true;
    driver->own_open = true;
    driver->stopped = false;
    driver->open_name = full_name;
    driver->ports = make_port_list(driver->current_ports());
    driver->open_port.store(static_cast<int>(driver->ports->names.size()) - 1);
    return 0;
}

bool midioutput_own_port_open(const midioutput_state* driver) {
    if (!driver) return false;
    std::lock_guard<std::mutex> hold(driver->lock);
    return driver->own_open;
}

double midioutput_get_lead(const midioutput_state* driver) {
    // The backend is fixed for the driver's life and its lead is an atomic read.
    return driver ? driver->backend->lead() : 0.0;
}

void midioutput_free(midioutput_state* driver) {
    if (!driver) return;
    {
        std::lock_guard<std::mutex> hold(driver->lock);
        driver->close_backend();
    }
    delete driver;
}

int midioutput_open(midioutput_state* driver, int port) {
    if (!driver) return 1;
    std::lock_guard<std::mutex> hold(driver->lock);
    if (port < 0) port = 0;

    const std::vector<std::string>& listed = driver->ports->names;
    const int count = static_cast<int>(listed.size());
    if (port >= count) {
        const std::string reason = "MIDI port " + std::to_string(port) + " is not in the list of " +
                                   std::to_string(count) + " ports";
        report_open_failure(reason.c_str());
        return 1;
    }
    const std::string name = listed[port];
    if (driver->quiet) {
        tm_logmsg(0, "midioutput: opening port %d: %s", port, name.c_str());
    } else {
        std::printf("midioutput: opening port %d: %s\n", port, name.c_str());
        std::fflush(stdout);
    }

    // The list may be older than the system's: open the port the caller saw.
    std::vector<std::string> live;
    std::string error;
    if (!driver->backend->list_ports(live, error)) {
        report_open_failure(error.c_str());
        return 1;
    }
    const int target = find_port(live, name, port);
    if (target < 0) {
        const std::string reason = "MIDI port " + name + " is no longer available";
        report_open_failure(reason.c_str());
        return 1;
    }
    if (target != port) {
        tm_logmsg(1, "midioutput: port %s is now MIDI out#%d", name.c_str(), target);
    }

    // A backend opens one port at a time; switching ports closes the old one.
    if (driver->backend_open) {
        tm_logmsg(0, "midioutput: closing port");
        driver->close_backend();
    }
    if (!driver->backend->open(target, error)) {
        report_open_failure(error.c_str());
        return 1;
    }
    driver->backend_open = true;
    driver->stopped = false;
    driver->open_name = name;
    driver->open_port.store(port);
    return 0;
}

void midioutput_close(midioutput_state* driver) {
    if (!driver) return;
    tm_logmsg(0, "midioutput: closing port");
    std::lock_guard<std::mutex> hold(driver->lock);
    driver->close_backend();
}

void midioutput_send_msg(midioutput_state* driver, const unsigned char* bytes, int length) {
    midioutput_send_msg_at(driver, bytes, length, MIDIOUTPUT_NOW);
}

void midioutput_send_msg_at(midioutput_state* driver, const unsigned char* bytes, int length,
                            double time_s) {
    if (!driver || !bytes || length < 1) return;
    std::lock_guard<std::mutex> hold(driver->lock);
    if (driver->open_port.load() < 0) return;
    if (length == 1 && bytes[0] == 0xFC) {
        if (driver->stopped) return;  // already stopped: nothing to say
        driver->stopped = true;
    } else if (length == 1 && (bytes[0] == 0xFA || bytes[0] == 0xFB)) {
        driver->stopped = false;
    }
    driver->backend->send(bytes, length, time_s);
}

namespace {

// Channel modulo 16 (also for negative numbers), data bytes the low 8 bits.
void send_channel_message(midioutput_state* driver, int status, int channel, int data1, int data2,
                          double time_s) {
    const unsigned char bytes[3] = {
        static_cast<unsigned char>(status | (channel & 0x0F)),
        static_cast<unsigned char>(data1 & 0xFF),
        static_cast<unsigned char>(data2 & 0xFF),
    };
    midioutput_send_msg_at(driver, bytes, 3, time_s);
}

void send_realtime_message(midioutput_state* driver, unsigned char status, double time_s) {
    midioutput_send_msg_at(driver, &status, 1, time_s);
}

}  // namespace

void midioutput_send_note_on_at(midioutput_state* driver, int channel, int note, int velocity,
                                double time_s) {
    send_channel_message(driver, 0x90, channel, note, velocity, time_s);
}

void midioutput_send_note_off_at(midioutput_state* driver, int channel, int note, int velocity,
                                 double time_s) {
    send_channel_message(driver, 0x80, channel, note, velocity, time_s);
}

void midioutput_send_ctrl_at(midioutput_state* driver, int channel, int controller, int value,
                             double time_s) {
    send_channel_message(driver, 0xB0, channel, controller, value, time_s);
}

void midioutput_send_clock_at(midioutput_state* driver, double time_s) {
    send_realtime_message(driver, 0xF8, time_s);
}

void midioutput_send_start_at(midioutput_state* driver, double time_s) {
    send_realtime_message(driver, 0xFA, time_s);
}

void midioutput_send_stop_at(midioutput_state* driver, double time_s) {
    send_realtime_message(driver, 0xFC, time_s);
}

void midioutput_send_note_on(midioutput_state* driver, int channel, int note, int velocity) {
    midioutput_send_note_on_at(driver, channel, note, velocity, MIDIOUTPUT_NOW);
}

void midioutput_send_note_off(midioutput_state* driver, int channel, int note, int velocity) {
    midioutput_send_note_off_at(driver, channel, note, velocity, MIDIOUTPUT_NOW);
}

void midioutput_send_ctrl(midioutput_state* driver, int channel, int controller, int value) {
    midioutput_send_ctrl_at(driver, channel, controller, value, MIDIOUTPUT_NOW);
}

void midioutput_send_clock(midioutput_state* driver) {
    midioutput_send_clock_at(driver, MIDIOUTPUT_NOW);
}

void midioutput_send_start(midioutput_state* driver) {
    midioutput_send_start_at(driver, MIDIOUTPUT_NOW);
}

void midioutput_send_stop(midioutput_state* driver) {
    midioutput_send_stop_at(driver, MIDIOUTPUT_NOW);
}

void midioutput_reinitialize_devices(midioutput_state* driver) {
    if (!driver) return;
    std::lock_guard<std::mutex> hold(driver->lock);
    driver->ports = make_port_list(driver->current_ports());

    const int open = driver->open_port.load();
    if (open < 0) return;
    const int now = find_port(driver->ports->names, driver->open_name, open);
    if (now < 0) {
        tm_logmsg(2, "midioutput: open port %s is no longer listed, closing it",
                  driver->open_name.c_str());
        driver->close_backend();
    } else if (now != open) {
        tm_logmsg(1, "midioutput: open port %s is now MIDI out#%d", driver->open_name.c_str(), now);
        driver->open_port.store(now);
    }
}

char** midioutput_get_port_names(midioutput_state* driver) {
    if (!driver) return nullptr;
    std::lock_guard<std::mutex> hold(driver->lock);
    return driver->ports->array.data();
}

int midioutput_get_port_count(const midioutput_state* driver) {
    if (!driver) return 0;
    std::lock_guard<std::mutex> hold(driver->lock);
    return static_cast<int>(driver->ports->names.size());
}

int midioutput_get_open_port(const midioutput_state* driver) {
    return driver ? driver->open_port.load() : -1;
}

std::vector<midioutput_record> midioutput_get_records(midioutput_state* driver) {
    if (!driver || !driver->recorder) return {};
    std::lock_guard<std::mutex> hold(driver->lock);
    return driver->recorder->records;
}

std::vector<midioutput_record> midioutput_take_records(midioutput_state* driver) {
    if (!driver || !driver->recorder) return {};
    std::lock_guard<std::mutex> hold(driver->lock);
    std::vector<midioutput_record> taken;
    taken.swap(driver->recorder->records);
    return taken;
}

void midioutput_recorder_set_ports(midioutput_state* driver, const char* const* port_names) {
    if (!driver || !driver->recorder) return;
    std::lock_guard<std::mutex> hold(driver->lock);
    driver->recorder->ports = copy_names(port_names);
}
