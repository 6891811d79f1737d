#include "controls.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "meterticker.h"
#include "tempomind.h"

namespace {

const char* const kUsage =
    "tap | tempo 2|1/2|3/2|2/3 | nudge MS | bar1 | hold on|off | reset | start-on-bar on|off";

bool parse_number(const std::string& text, double* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool parse_switch(const std::string& text, bool* on) {
    if (text == "on") {
        *on = true;
        return true;
    }
    if (text == "off") {
        *on = false;
        return true;
    }
    return false;
}

}  // namespace

std::vector<std::string> words_before_comment(std::string line) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    return split_words(line);
}

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool parse_control(const std::vector<std::string>& words, Control* control, std::string* error) {
    if (words.empty()) {
        *error = std::string("no control (") + kUsage + ")";
        return false;
    }
    const std::string& action = words[0];
    const std::size_t values = words.size() - 1;
    auto wants = [&](std::size_t n, const char* form) {
        if (values == n) return true;
        *error = "'" + action + "' takes " + form;
        return false;
    };
    Control c;
    if (action == "tap") {
        if (!wants(0, "no value")) return false;
        c.action = ControlAction::kTap;
    } else if (action == "tempo") {
        if (!wants(1, "one of 2, 1/2, 3/2, 2/3")) return false;
        c.action = ControlAction::kTempo;
        const std::string& v = words[1];
        if (v == "2") {
            c.numerator = 2;
        } else if (v == "1/2") {
            c.denominator = 2;
        } else if (v == "3/2") {
            c.numerator = 3;
            c.denominator = 2;
        } else if (v == "2/3") {
            c.numerator = 2;
            c.denominator = 3;
        } else {
            *error = "tempo factor '" + v + "' is not one of 2, 1/2, 3/2, 2/3";
            return false;
        }
    } else if (action == "nudge") {
        if (!wants(1, "milliseconds (positive: later)")) return false;
        c.action = ControlAction::kNudge;
        if (!parse_number(words[1], &c.milliseconds) || std::fabs(c.milliseconds) > 1000.0) {
            *error = "nudge '" + words[1] + "' is not a number of milliseconds (-1000 to 1000)";
            return false;
        }
    } else if (action == "bar1") {
        if (!wants(0, "no value")) return false;
        c.action = ControlAction::kBarOne;
    } else if (action == "hold" || action == "start-on-bar") {
        if (!wants(1, "on or off")) return false;
        c.action = action == "hold" ? ControlAction::kHold : ControlAction::kStartOnBar;
        if (!parse_switch(words[1], &c.on)) {
            *error = "'" + action + "' takes on or off, not '" + words[1] + "'";
            return false;
        }
    } else if (action == "reset") {
        if (!wants(0, "no value")) return false;
        c.action = ControlAction::kReset;
    } else {
        *error = "unknown control '" + action + "' (" + kUsage + ")";
        return false;
    }
    *control = c;
    return true;
}

std::string control_text(const Control& c) {
    switch (c.action) {
        case ControlAction::kTap:
            return "tap";
        case ControlAction::kTempo:
            return "tempo " + std::to_string(c.numerator) +
                   (c.denominator == 1 ? "" : "/" + std::to_string(c.denominator));
        case ControlAction::kNudge: {
            std::ostringstream text;
            text << "nudge " << c.milliseconds;
            return text.str();
        }
        case ControlAction::kBarOne:
            return "bar1";
        case ControlAction::kHold:
            return c.toggle ? "hold" : c.on ? "hold on" : "hold off";
        case ControlAction::kReset:
            return "reset";
        case ControlAction::kStartOnBar:
            return c.toggle ? "start-on-bar" : c.on ? "start-on-bar on" : "start-on-bar off";
    }
    return "";
}

std::vector<TimedControl> parse_control_script(std::istream& in, std::vector<std::string>* errors) {
    std::vector<TimedControl> controls;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words = words_before_comment(line);
        if (words.empty()) continue;
        TimedControl timed{0.0, Control(), number};
        std::string error;
        if (!parse_number(words[0], &timed.time) || timed.time < 0.0) {
            error = "'" + words[0] + "' is not a time in seconds (0 or more)";
        } else {
            words.erase(words.begin());
            parse_control(words, &timed.control, &error);
        }
        if (!error.empty()) {
            errors->push_back("line " + std::to_string(number) + ": " + error);
            continue;
        }
        controls.push_back(timed);
    }
    std::stable_sort(controls.begin(), controls.end(),
                     [](const TimedControl& a, const TimedControl& b) { return a.time < b.time; });
    return controls;
}

void apply_control(meterticker_state* ticker, const Control& c, double at) {
    switch (c.action) {
        case ControlAction::kTap:
            meterticker_tap(ticker, at);
            break;
        case ControlAction::kTempo:
            meterticker_tempo_factor(ticker, c.numerator, c.denominator, at);
            break;
        case ControlAction::kNudge:
            meterticker_nudge(ticker, c.milliseconds / 1000.0, at);
            break;
        case ControlAction::kBarOne:
            meterticker_bar_one(ticker, at);
            break;
        case ControlAction::kHold:
            meterticker_hold(ticker, c.toggle ? !meterticker_corrections_status(ticker).holding : c.on,
                             at);
            break;
        case ControlAction::kReset:
            meterticker_reset_corrections(ticker, at);
            break;
        case ControlAction::kStartOnBar:
            meterticker_set_start_on_bar(ticker, c.toggle ? !meterticker_start_on_bar(ticker) : c.on);
            break;
    }
}

void apply_control(TempoMind_t* engine, const Control& c, double at) {
    switch (c.action) {
        case ControlAction::kTap:
            tm_tap(engine, at);
            break;
        case ControlAction::kTempo:
            tm_tempo_factor(engine, c.numerator, c.denominator, at);
            break;
        case ControlAction::kNudge:
            tm_nudge(engine, c.milliseconds / 1000.0, at);
            break;
        case ControlAction::kBarOne:
            tm_bar_one(engine, at);
            break;
        case ControlAction::kHold:
            tm_hold(engine, (c.toggle ? !tm_get_hold(engine) : c.on) ? 1 : 0, at);
            break;
        case ControlAction::kReset:
            tm_reset_corrections(engine, at);
            break;
        case ControlAction::kStartOnBar:
            tm_set_start_on_bar(engine, (c.toggle ? !tm_get_start_on_bar(engine) : c.on) ? 1 : 0);
            break;
    }
}
