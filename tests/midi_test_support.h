// Helpers shared by the MIDI driver tests: capturing the engine log and
// standard output, and a hand-driven clock for the recorder.
#ifndef KADENZO_TESTS_MIDI_TEST_SUPPORT_H
#define KADENZO_TESTS_MIDI_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "common.h"

struct LoggedLine {
    int level;
    std::string text;
};

// Installs a tm_logmsg handler that keeps every message for the lifetime of
// the object.
class LogCapture {
  public:
    LogCapture() {
        tm_logmsg_handler_udata = this;
        tm_logmsg_handler = &LogCapture::handle;
    }
    ~LogCapture() {
        tm_logmsg_handler = nullptr;
        tm_logmsg_handler_udata = nullptr;
    }
    std::vector<LoggedLine> lines() const {
        std::lock_guard<std::mutex> hold(lock_);
        return lines_;
    }
    bool contains(int level, const std::string& text) const {
        for (const LoggedLine& line : lines()) {
            if (line.level == level && line.text == text) return true;
        }
        return false;
    }
    // Messages at the given level, in order.
    std::vector<std::string> at_level(int level) const {
        std::vector<std::string> texts;
        for (const LoggedLine& line : lines()) {
            if (line.level == level) texts.push_back(line.text);
        }
        return texts;
    }

  private:
    static void handle(int level, void* user, const char* format, va_list args) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        auto* self = static_cast<LogCapture*>(user);
        std::lock_guard<std::mutex> hold(self->lock_);
        self->lines_.push_back({level, text});
    }
    mutable std::mutex lock_;
    std::vector<LoggedLine> lines_;
};

// Runs an action and returns what it printed on standard output.
template <typename Action>
std::string printed_by(Action&& action) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    action();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

#endif
