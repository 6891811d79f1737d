// The performer's controls as the kadenzo command takes them: written as
// words ("tap", "tempo 3/2", "nudge -10", "bar1", "hold on", "reset",
// "start-on-bar on"), scripted with times for `kadenzo render --controls`,
// mapped to keys and MIDI messages by `kadenzo live`, and applied to the
// engine with the engine-clock time of the press.
#ifndef KADENZO_TOOLS_CONTROLS_H
#define KADENZO_TOOLS_CONTROLS_H

#include <istream>
#include <string>
#include <vector>

struct TempoMind_t;
struct meterticker_state;

enum class ControlAction { kTap, kTempo, kNudge, kBarOne, kHold, kReset, kStartOnBar };

struct Control {
    ControlAction action = ControlAction::kTap;
    int numerator = 1;  // kTempo: the factor numerator / denominator
    int denominator = 1;
    double milliseconds = 0.0;  // kNudge: positive is later
    bool on = false;            // kHold, kStartOnBar
    bool toggle = false;        // kHold, kStartOnBar: the other way than now (keys, notes)
};

// "ACTION [VALUE]" as words: tap | tempo 2|1/2|3/2|2/3 | nudge MS | bar1 |
// hold on|off | reset | start-on-bar on|off. False with a reason.
bool parse_control(const std::vector<std::string>& words, Control* control, std::string* error);

// The words of a control, as parse_control reads them ("tempo 3/2").
std::string control_text(const Control& control);

struct TimedControl {
    double time;  // seconds of the file
    Control control;
    int line;
};

// A control script: one control a line, "TIME ACTION [VALUE]", TIME in
// seconds (0 or more), "#" starting a comment, blank lines ignored. Returns
// the controls in order of time (lines of one time in their order); every
// bad line gives one "line N: reason" in errors.
std::vector<TimedControl> parse_control_script(std::istream& in, std::vector<std::string>* errors);

// Applies a control at the engine-clock time of the press.
void apply_control(meterticker_state* ticker, const Control& control, double at);
void apply_control(TempoMind_t* engine, const Control& control, double at);

// Splits a line into words at white space.
std::vector<std::string> split_words(const std::string& line);
// The words of a line of a control file, up to a '#' that starts a comment.
std::vector<std::string> words_before_comment(std::string line);

#endif
