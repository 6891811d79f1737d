// The performer's controls as `kadenzo live` receives them: single keys on a
// terminal (raw mode, restored however the program ends) and the notes or
// controllers of a MIDI input port (a foot controller), mapped to controls
// by a control map, each with its arrival time.
#ifndef KADENZO_TOOLS_CONTROL_INPUT_H
#define KADENZO_TOOLS_CONTROL_INPUT_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "controls.h"

class RtMidiIn;

// ---- Control map ------------------------------------------------------------

// Which MIDI messages press which controls. One binding a line:
//   note NUMBER ACTION [VALUE]   a Note On (velocity above 0) presses it
//   cc NUMBER ACTION [VALUE]     a controller value of 64 or more presses it
// on any channel; ACTION [VALUE] as in a control script. "hold" without a
// value follows the message: a note switches it over, a controller holds
// while 64 or more (a sustain pedal). "#" starts a comment.
class ControlMap {
  public:
    // The documented default map (controlMapHelp lists it).
    static ControlMap defaults();
    // Parses a map; false with "line N: reason" entries in errors.
    static bool parse(std::istream& in, ControlMap* map, std::vector<std::string>* errors);

    // The control a message presses, if any. Pass the message's bytes.
    bool match(const unsigned char* bytes, std::size_t size, Control* control);

    std::string describe() const;  // one line per binding

  private:
    struct Binding {
        bool controller = false;  // cc rather than note
        int number = 0;
        Control control;
        bool follow_hold = false;  // "hold" with no value
    };
    std::vector<Binding> bindings_;
};

// ---- MIDI input --------------------------------------------------------------

// A MIDI input port opened by number or name (the exact name, else the first
// containing the text, ignoring case). Messages are taken on RtMidi's thread,
// which may be a JACK process thread: they go into a fixed ring, with the
// steady-clock time of their arrival, and nothing there allocates, locks or
// logs. poll() hands them out on the caller's thread.
class MidiControlInput {
  public:
    struct Message {
        std::array<unsigned char, 3> bytes{};
        std::uint8_t size = 0;
        std::chrono::steady_clock::time_point arrival;
    };

    MidiControlInput();
    ~MidiControlInput();
    MidiControlInput(const MidiControlInput&) = delete;
    MidiControlInput& operator=(const MidiControlInput&) = delete;

    // The input ports there are now (the system's default MIDI API, or JACK
    // when it cannot start); empty when there is no MIDI system.
    std::vector<std::string> ports();
    // Opens a port; false with a reason.
    bool open(const std::string& wanted, std::string* error);
    const std::string& portName() const { return portName_; }

    // Takes every message received since the last call, oldest first; false
    // when there is none. Messages the ring had no room for are counted.
    bool poll(Message* message);
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

  private:
    static void onMessage(double delta, std::vector<unsigned char>* bytes, void* user);

    static constexpr std::size_t kRing = 256;
    std::unique_ptr<RtMidiIn> input_;
    std::string portName_;
    std::array<Message, kRing> ring_{};
    std::atomic<std::size_t> head_{0};  // written by the MIDI thread
    std::atomic<std::size_t> tail_{0};  // written by poll()
    std::atomic<std::uint64_t> dropped_{0};
};

// ---- Terminal keys --------------------------------------------------------------

// Single keys on the terminal of standard input, without Enter and without
// echo; Ctrl-C still stops the program. The terminal's settings come back
// when the object goes, and restoreTerminal() brings them back from anywhere
// (a watchdog about to _exit): it is async-signal-safe.
class TerminalKeys {
  public:
    // Raw mode on standard input when it is a terminal (active() says).
    TerminalKeys();
    ~TerminalKeys();
    TerminalKeys(const TerminalKeys&) = delete;
    TerminalKeys& operator=(const TerminalKeys&) = delete;
    bool active() const { return active_; }

    // Reads what the terminal has (never blocks) and returns the controls
    // of the keys pressed, in order.
    std::vector<Control> read();

    // The controls of the keys in text, taking them out of it; an escape
    // sequence not yet complete stays for the next call.
    static std::vector<Control> decode(std::string* text);

    static void restoreTerminal();
    // The key list for --help and the start of the program.
    static const char* help();

  private:
    bool active_ = false;
    std::string pending_;  // an escape sequence not yet complete
};

#endif
