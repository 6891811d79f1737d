// The MIDI output driver: the engine's only path to MIDI. It keeps the list
// of output port names and the index of the open port, and turns the ticker's
// requests into raw one- or three-byte MIDI messages.
//
// Every message carries the engine-clock time it belongs to (seconds, see
// MIDIOUTPUT_NOW for "as soon as possible"), so that a backend able to
// deliver at a given time can queue by it. The backends here deliver at once
// on the calling thread and keep the order of the calls.
//
// Three backends, chosen at creation:
// - JACK (the live engine on a JACK server, see midioutput_set_live_config):
//   the MIDI port of Kadenzo's own JACK client (jackclient.h), which writes
//   every message at the frame of its time stamp. Its ports are the other
//   clients' MIDI inputs; opening one connects to it.
// - RtMidi (the live engine otherwise): the system's default MIDI API,
//   falling back to JACK when the default cannot start (no ALSA sequencer).
//   It sends every message at once, whatever its time stamp.
// - the recorder (tests and offline rendering): port names given by the
//   caller; every message that would have gone out is stored with its time
//   stamp and the time of a clock the caller supplies.
//
// No RtMidi error ever leaves the driver: errors are logged and turned into
// result codes. Every function may be called from any engine thread; sends,
// opens and closes are serialised inside the driver. With JACK, the driver
// notices when the server goes away and from then on discards sends, refuses
// opens and lists no ports (RtMidi's own send would wait for ever).
#ifndef KADENZO_MIDIOUTPUT_H
#define KADENZO_MIDIOUTPUT_H

#include <limits>
#include <string>
#include <vector>

class JackEngineClient;
struct midioutput_state;

// The time stamp of a message meant to go out at once (the application's
// Stop, test notes): the backend's present moment.
inline constexpr double MIDIOUTPUT_NOW = std::numeric_limits<double>::quiet_NaN();

// A clock in seconds, for time-stamping recorded messages.
typedef double (*midioutput_clock_cb)(void* user);

// Selects the recording backend when passed to midioutput_init.
struct midioutput_recorder_config {
    // Null-terminated list of port names the recorder pretends to offer
    // (copied). Null or empty: no ports, so midioutput_init fails.
    const char* const* port_names = nullptr;
    // Time source for the records, read on the sending thread under the
    // driver's lock (so it must not call the driver); null stamps 0.
    midioutput_clock_cb clock = nullptr;
    void* clock_user = nullptr;
    // Offline use: the port opening goes to the engine log (level 0) instead
    // of standard output, which then belongs to the program alone.
    bool quiet = false;
    // Seconds ahead of its time stamp a message must be handed over, as to a
    // backend that writes each message at its stamp (JACK's): the ticker
    // then paces its passes as it does for that backend.
    double lead = 0.0;
};

// One message that went out through the recorder.
struct midioutput_record {
    // The engine-clock time the message belongs to: its time stamp, or the
    // recorder's clock at the send for a message stamped MIDIOUTPUT_NOW.
    double time;
    std::vector<unsigned char> bytes;  // exactly the bytes handed to the port
    double clock_time = 0.0;           // the recorder's clock at the send
};

// How the drivers created from now on without a recorder reach MIDI. Set on
// the application's thread before the engine starts (or between a close and
// the next start); drivers keep what they were created with.
struct midioutput_live_config {
    // Null: RtMidi. Otherwise the JACK backend on this client, which must
    // outlive every driver created with it (not owned).
    JackEngineClient* jack = nullptr;
    // Non-empty: each driver opens a port of Kadenzo's own of this name at
    // creation (midioutput_open_own), and needs no other port to exist.
    std::string own_port;
};
void midioutput_set_live_config(const midioutput_live_config& config);
midioutput_live_config midioutput_get_live_config();

// Creates the driver and lists its ports, logging "MIDI out#%d: %s" (level 1)
// for each. With no recorder the RtMidi backend is used. Returns null after
// logging "Midi output initialization failed" when no MIDI API can be started,
// or "No MIDI ports" when there are no output ports. No port is open.
midioutput_state* midioutput_init(const midioutput_recorder_config* recorder = nullptr);

// Closes the port if one is open and releases the driver. Null is ignored.
void midioutput_free(midioutput_state* driver);

// Opens an entry of the current port list (a negative port means 0), printing
// "midioutput: opening port %d: %s\n" to standard output. The entry is found
// again by its name in the system's current port list, so a list that went
// stale since the last listing still opens the port the caller saw. An open
// port is closed first. On failure (index not in the list, port gone, MIDI
// error) prints "Could not open midi output: %s\n" and returns 1; the open
// port is unchanged unless the MIDI system failed after the old port had been
// closed, which leaves no port open. Returns 0 on success.
int midioutput_open(midioutput_state* driver, int port);

// Opens a port of Kadenzo's own that other programs connect to (on JACK the
// output port renamed to name, with no connection; with RtMidi a virtual
// port), in place of the open port. It is listed, as its full name, at the
// end of the port list for as long as it is open. Printing and results as
// midioutput_open.
int midioutput_open_own(midioutput_state* driver, const char* name);
// Whether the open port is a port of Kadenzo's own.
bool midioutput_own_port_open(const midioutput_state* driver);

// How long before its time stamp a message must be sent for the backend to
// deliver it on time (the JACK backend: a period and a margin); 0 when the
// backend sends at once. Safe on any thread.
double midioutput_get_lead(const midioutput_state* driver);

// Logs "midioutput: closing port" and closes the open port (if any). Sends
// are discarded until the next successful open.
void midioutput_close(midioutput_state* driver);

// Sends length bytes as one message, due at time_s on the engine clock
// (MIDIOUTPUT_NOW: at once), if a port is open; otherwise, or when length < 1
// or bytes is null, the message is discarded. A Stop (FC) is not repeated:
// one that follows a Stop on the same open port with no Start (FA) or
// Continue (FB) in between is discarded, so that switching several outputs
// off, or the same one twice, stops a slaved device once.
void midioutput_send_msg_at(midioutput_state* driver, const unsigned char* bytes, int length,
                            double time_s);
void midioutput_send_msg(midioutput_state* driver, const unsigned char* bytes, int length);

// Channels are taken modulo 16 (-1 is channel 15); data bytes are the low
// 8 bits of the given values, not range-checked. The _at forms carry the
// engine-clock time the message belongs to; the others go out at once.
void midioutput_send_note_on_at(midioutput_state* driver, int channel, int note, int velocity,
                                double time_s);
void midioutput_send_note_off_at(midioutput_state* driver, int channel, int note, int velocity,
                                 double time_s);
void midioutput_send_ctrl_at(midioutput_state* driver, int channel, int controller, int value,
                             double time_s);
void midioutput_send_clock_at(midioutput_state* driver, double time_s);  // 0xF8
void midioutput_send_start_at(midioutput_state* driver, double time_s);  // 0xFA
void midioutput_send_stop_at(midioutput_state* driver, double time_s);   // 0xFC

void midioutput_send_note_on(midioutput_state* driver, int channel, int note, int velocity);
void midioutput_send_note_off(midioutput_state* driver, int channel, int note, int velocity);
void midioutput_send_ctrl(midioutput_state* driver, int channel, int controller, int value);
void midioutput_send_clock(midioutput_state* driver);  // 0xF8
void midioutput_send_start(midioutput_state* driver);  // 0xFA
void midioutput_send_stop(midioutput_state* driver);   // 0xFC

// Re-lists the ports (logging "MIDI out#%d: %s" for each) and replaces the
// port-name array. An open port keeps its connection and its index follows
// its name to its new place in the list; if it is no longer listed it is
// closed (warning logged) and no port is open.
void midioutput_reinitialize_devices(midioutput_state* driver);

// The null-terminated port-name array of the last listing. Owned by the
// driver; valid until the next midioutput_reinitialize_devices or free.
char** midioutput_get_port_names(midioutput_state* driver);
int midioutput_get_port_count(const midioutput_state* driver);
// Index of the open port in the current list, -1 when none is open.
int midioutput_get_open_port(const midioutput_state* driver);

// Recorder only (a driver of the RtMidi backend has no records): a copy of
// every message recorded so far, or all of them while emptying the store.
// Safe to call while other threads send.
std::vector<midioutput_record> midioutput_get_records(midioutput_state* driver);
std::vector<midioutput_record> midioutput_take_records(midioutput_state* driver);

// Recorder only: replaces the list of ports the recorder offers from now on,
// as if devices had come and gone. The driver's own list changes only at the
// next midioutput_reinitialize_devices.
void midioutput_recorder_set_ports(midioutput_state* driver, const char* const* port_names);

#endif
