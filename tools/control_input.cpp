#include "control_input.h"

#include <RtMidi.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

namespace {

// ---- Control map -------------------------------------------------------------

// Notes from middle C up, and two pedals: the sustain pedal holds, a
// general-purpose switch taps.
const char* const kDefaultMap =
    "note 60 tap\n"
    "note 61 tempo 2\n"
    "note 62 tempo 1/2\n"
    "note 63 tempo 3/2\n"
    "note 64 tempo 2/3\n"
    "note 65 nudge -10\n"
    "note 66 nudge 10\n"
    "note 67 bar1\n"
    "note 68 hold\n"
    "note 69 reset\n"
    "cc 64 hold\n"
    "cc 80 tap\n";

bool parse_int(const std::string& text, int* value) {
    if (text.empty() || text.size() > 3) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    *value = std::atoi(text.c_str());
    return *value <= 127;
}

// ---- Terminal -------------------------------------------------------------------

// The settings before raw mode, for restoreTerminal (which must not allocate
// or lock: it may run from a signal handler or a watchdog).
struct termios g_saved;
std::atomic<bool> g_raw{false};

}  // namespace

ControlMap ControlMap::defaults() {
    std::istringstream in(kDefaultMap);
    ControlMap map;
    std::vector<std::string> errors;
    parse(in, &map, &errors);
    return map;
}

bool ControlMap::parse(std::istream& in, ControlMap* map, std::vector<std::string>* errors) {
    ControlMap parsed;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words = words_before_comment(line);
        if (words.empty()) continue;
        auto fail = [&](const std::string& why) {
            errors->push_back("line " + std::to_string(number) + ": " + why);
        };
        Binding binding;
        if (words[0] != "note" && words[0] != "cc") {
            fail("'" + words[0] + "' is not note or cc");
            continue;
        }
        binding.controller = words[0] == "cc";
        if (words.size() < 3 || !parse_int(words[1], &binding.number)) {
            fail("wants note|cc NUMBER (0 to 127) ACTION [VALUE]");
            continue;
        }
        std::vector<std::string> action(words.begin() + 2, words.end());
        if (action.size() == 1 && action[0] == "hold") {
            binding.follow_hold = true;
            binding.control.action = ControlAction::kHold;
        } else {
            std::string error;
            if (!parse_control(action, &binding.control, &error)) {
                fail(error);
                continue;
            }
        }
        parsed.bindings_.push_back(binding);
    }
    if (!errors->empty()) return false;
    *map = parsed;
    return true;
}

bool ControlMap::match(const unsigned char* bytes, std::size_t size, Control* control) {
    if (size < 3) return false;
    const int kind = bytes[0] & 0xF0;
    const bool note_on = kind == 0x90 && bytes[2] > 0;
    const bool controller = kind == 0xB0;
    if (!note_on && !controller) return false;
    for (const Binding& b : bindings_) {
        if (b.controller != controller || b.number != bytes[1]) continue;
        const bool pressed = controller ? bytes[2] >= 64 : true;
        *control = b.control;
        if (b.follow_hold) {
            // A pedal holds while down; a note switches hold over.
            if (controller) {
                control->on = pressed;
            } else {
                control->toggle = true;
            }
            return true;
        }
        if (!pressed) return false;
        return true;
    }
    return false;
}

std::string ControlMap::describe() const {
    std::string text;
    for (const Binding& b : bindings_) {
        text += std::string(b.controller ? "cc " : "note ") + std::to_string(b.number) + " " +
                (b.follow_hold ? std::string("hold") : control_text(b.control)) + "\n";
    }
    return text;
}

// ---- MIDI input ------------------------------------------------------------------

MidiControlInput::MidiControlInput() {
    // The default API throws when it cannot start (no ALSA sequencer) even
    // with JACK running; JACK then.
    for (RtMidi::Api api : {RtMidi::UNSPECIFIED, RtMidi::UNIX_JACK}) {
        try {
            input_ = std::make_unique<RtMidiIn>(api, "kadenzo-control");
            break;
        } catch (const std::exception&) {
            input_.reset();
        }
    }
    if (input_) {
        input_->setErrorCallback(
            [](RtMidiError::Type, const std::string&, void*) {}, nullptr);  // reported by open
    }
}

MidiControlInput::~MidiControlInput() {
    if (!input_) return;
    try {
        input_->cancelCallback();
        input_->closePort();
    } catch (...) {
    }
}

std::vector<std::string> MidiControlInput::ports() {
    std::vector<std::string> names;
    if (!input_) return names;
    try {
        const unsigned int count = input_->getPortCount();
        for (unsigned int i = 0; i < count; ++i) names.push_back(input_->getPortName(i));
    } catch (...) {
    }
    return names;
}

bool MidiControlInput::open(const std::string& wanted, std::string* error) {
    if (!input_) {
        *error = "no MIDI system for input (neither the ALSA sequencer nor JACK)";
        return false;
    }
    const std::vector<std::string> names = ports();
    int index = -1;
    const bool number = !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    if (number) {
        const long n = std::strtol(wanted.c_str(), nullptr, 10);
        if (n < static_cast<long>(names.size())) index = static_cast<int>(n);
    } else {
        for (std::size_t i = 0; i < names.size() && index < 0; ++i)
            if (names[i] == wanted) index = static_cast<int>(i);
        auto lower = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        for (std::size_t i = 0; i < names.size() && index < 0; ++i)
            if (lower(names[i]).find(lower(wanted)) != std::string::npos)
                index = static_cast<int>(i);
    }
    if (index < 0) {
        *error = "no MIDI input port '" + wanted + "'";
        return false;
    }
    try {
        input_->setCallback(&MidiControlInput::onMessage, this);
        input_->ignoreTypes(true, true, true);  // no SysEx, timing or active sensing
        input_->openPort(static_cast<unsigned int>(index), "control_in");
    } catch (const RtMidiError& e) {
        *error = e.getMessage();
        return false;
    }
    if (!input_->isPortOpen()) {
        *error = "MIDI input port '" + names[index] + "' could not be opened";
        return false;
    }
    portName_ = names[index];
    return true;
}

void MidiControlInput::onMessage(double /*delta*/, std::vector<unsigned char>* bytes, void* user) {
    auto* self = static_cast<MidiControlInput*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (!bytes || bytes->empty()) return;
    const std::size_t head = self->head_.load(std::memory_order_relaxed);
    if (head - self->tail_.load(std::memory_order_acquire) >= kRing) {
        self->dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Message& m = self->ring_[head % kRing];
    m.size = static_cast<std::uint8_t>(std::min<std::size_t>(bytes->size(), 3));
    std::copy(bytes->begin(), bytes->begin() + m.size, m.bytes.begin());
    m.arrival = now;
    self->head_.store(head + 1, std::memory_order_release);
}

bool MidiControlInput::poll(Message* message) {
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return false;
    *message = ring_[tail % kRing];
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

// ---- Terminal keys -----------------------------------------------------------------

TerminalKeys::TerminalKeys() {
    if (!isatty(STDIN_FILENO)) return;
    struct termios raw;
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return;
    raw = g_saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));  // keys at once, unechoed; ISIG stays
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
    g_raw.store(true);
    active_ = true;
}

TerminalKeys::~TerminalKeys() {
    restoreTerminal();
}

void TerminalKeys::restoreTerminal() {
    if (g_raw.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
}

const char* TerminalKeys::help() {
    return "Keys: Space tap, * tempo x2, / tempo /2, > tempo x3/2, < tempo x2/3, "
           "Left or , nudge 10 ms earlier, Right or . nudge 10 ms later, b bar 1, "
           "h hold on/off, r reset, s Start on bar on/off";
}

std::vector<Control> TerminalKeys::read() {
    if (!active_) return {};
    char buffer[64];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) pending_.append(buffer, static_cast<std::size_t>(n));
    return decode(&pending_);
}

std::vector<Control> TerminalKeys::decode(std::string* text) {
    std::vector<Control> controls;
    std::string& keys = *text;
    auto add = [&](const char* words) {
        Control c;
        std::string error;
        if (parse_control(split_words(words), &c, &error)) controls.push_back(c);
    };
    auto toggle = [&](ControlAction action) {
        Control c;
        c.action = action;
        c.toggle = true;
        controls.push_back(c);
    };
    std::size_t i = 0;
    while (i < keys.size()) {
        const char key = keys[i];
        if (key == '\x1b') {  // arrows: ESC [ C / ESC [ D
            if (keys.size() - i < 3) break;
            if (keys[i + 1] == '[' && keys[i + 2] == 'D') add("nudge -10");
            if (keys[i + 1] == '[' && keys[i + 2] == 'C') add("nudge 10");
            i += 3;
            continue;
        }
        switch (key) {
            case ' ':
                add("tap");
                break;
            case '*':
                add("tempo 2");
                break;
            case '/':
                add("tempo 1/2");
                break;
            case '>':
                add("tempo 3/2");
                break;
            case '<':
                add("tempo 2/3");
                break;
            case ',':
                add("nudge -10");
                break;
            case '.':
                add("nudge 10");
                break;
            case 'b':
            case 'B':
                add("bar1");
                break;
            case 'h':
            case 'H':
                toggle(ControlAction::kHold);
                break;
            case 'r':
            case 'R':
                add("reset");
                break;
            case 's':
            case 'S':
                toggle(ControlAction::kStartOnBar);
                break;
            default:
                break;
        }
        ++i;
    }
    keys.erase(0, i);
    return controls;
}
