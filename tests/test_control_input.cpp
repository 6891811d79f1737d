// `kadenzo live`'s control input without a MIDI system or a terminal of its
// own: the control map (default, parsed, matched against messages), the
// keys, and the terminal's settings coming back, on a pseudo-terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "control_input.h"

namespace {

std::vector<std::string> texts(const std::vector<Control>& controls) {
    std::vector<std::string> out;
    for (const Control& c : controls) out.push_back(control_text(c));
    return out;
}

TEST(ControlMapTest, TheDefaultMapPressesItsControls) {
    ControlMap map = ControlMap::defaults();
    struct Case {
        std::vector<unsigned char> bytes;
        const char* pressed;  // null: nothing
    };
    const std::vector<Case> cases = {
        {{0x90, 60, 100}, "tap"},       {{0x93, 60, 1}, "tap"},  // any channel
        {{0x90, 60, 0}, nullptr},       {{0x80, 60, 64}, nullptr},  // Note Offs
        {{0x90, 61, 90}, "tempo 2"},    {{0x90, 62, 90}, "tempo 1/2"},
        {{0x90, 63, 90}, "tempo 3/2"},  {{0x90, 64, 90}, "tempo 2/3"},
        {{0x90, 65, 90}, "nudge -10"},  {{0x90, 66, 90}, "nudge 10"},
        {{0x90, 67, 90}, "bar1"},       {{0x90, 68, 90}, "hold"},
        {{0x90, 69, 90}, "reset"},      {{0xB0, 64, 127}, "hold on"},
        {{0xB0, 64, 0}, "hold off"},    {{0xB0, 80, 127}, "tap"},
        {{0xB0, 80, 10}, nullptr},      {{0x90, 70, 90}, nullptr},
        {{0xC0, 60}, nullptr},
    };
    for (const Case& c : cases) {
        Control control;
        const bool pressed = map.match(c.bytes.data(), c.bytes.size(), &control);
        EXPECT_EQ(pressed, c.pressed != nullptr) << int(c.bytes[0]) << " " << int(c.bytes[1]);
        if (pressed && c.pressed) {
            EXPECT_EQ(control_text(control), c.pressed);
        }
    }
}

TEST(ControlMapTest, AMapFileReplacesTheDefaultsAndBadLinesAreNamed) {
    std::istringstream good("# a pedal board\nnote 36 tap   # the big switch\ncc 11 tempo 1/2\n");
    ControlMap map;
    std::vector<std::string> errors;
    ASSERT_TRUE(ControlMap::parse(good, &map, &errors));
    EXPECT_EQ(map.describe(), "note 36 tap\ncc 11 tempo 1/2\n");
    Control control;
    const unsigned char old_tap[] = {0x90, 60, 100};
    EXPECT_FALSE(map.match(old_tap, 3, &control)) << "the defaults are gone";

    std::istringstream bad("note 36 tap\nkey 5 tap\nnote 200 tap\ncc 7\nnote 40 jump\n");
    ControlMap untouched = ControlMap::defaults();
    ASSERT_FALSE(ControlMap::parse(bad, &untouched, &errors));
    ASSERT_EQ(errors.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(errors[i].rfind("line " + std::to_string(i + 2) + ":", 0), 0u) << errors[i];
    EXPECT_EQ(untouched.describe(), ControlMap::defaults().describe());
}

TEST(TerminalKeysTest, KeysAndArrowsBecomeControlsAndHalfASequenceWaits) {
    std::string typed = " */><,.bhrsxB\x1b[D\x1b[C\x1b[";
    EXPECT_EQ(texts(TerminalKeys::decode(&typed)),
              (std::vector<std::string>{"tap", "tempo 2", "tempo 1/2", "tempo 3/2", "tempo 2/3",
                                        "nudge -10", "nudge 10", "bar1", "hold", "reset",
                                        "start-on-bar", "bar1", "nudge -10", "nudge 10"}));
    EXPECT_EQ(typed, "\x1b[") << "the start of an arrow key waits";
    typed += "C";
    EXPECT_EQ(texts(TerminalKeys::decode(&typed)), (std::vector<std::string>{"nudge 10"}));
    EXPECT_TRUE(typed.empty());
}

// Raw mode on a terminal: keys without Enter or echo, Ctrl-C still a
// signal; the settings come back when the keys go, and from
// restoreTerminal() however the program ends.
TEST(TerminalKeysTest, TheTerminalGetsItsSettingsBack) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_GE(dup2(slave, STDIN_FILENO), 0);
    struct termios before, during, after;
    ASSERT_EQ(tcgetattr(STDIN_FILENO, &before), 0);
    ASSERT_TRUE(before.c_lflag & ICANON);
    {
        TerminalKeys keys;
        EXPECT_TRUE(keys.active());
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &during), 0);
        EXPECT_FALSE(during.c_lflag & ICANON);
        EXPECT_FALSE(during.c_lflag & ECHO);
        EXPECT_TRUE(during.c_lflag & ISIG) << "Ctrl-C still stops the program";
        ASSERT_EQ(write(master, "b ", 2), 2);
        usleep(20000);
        EXPECT_EQ(texts(keys.read()), (std::vector<std::string>{"bar1", "tap"}));
        EXPECT_TRUE(keys.read().empty()) << "reading never blocks";
        TerminalKeys::restoreTerminal();  // what a watchdog or a fatal signal does
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &after), 0);
        EXPECT_TRUE(after.c_lflag & ICANON);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
    }
    ASSERT_EQ(tcgetattr(STDIN_FILENO, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "restoring twice changes nothing";
    {
        TerminalKeys keys;  // and the destructor alone restores as well
    }
    ASSERT_EQ(tcgetattr(STDIN_FILENO, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "the destructor restores";
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    close(slave);
    close(master);
}

TEST(TerminalKeysTest, WithoutATerminalThereAreNoKeys) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const int saved_stdin = dup(STDIN_FILENO);
    dup2(pipe_ends[0], STDIN_FILENO);
    {
        TerminalKeys keys;
        EXPECT_FALSE(keys.active());
        EXPECT_TRUE(keys.read().empty());
    }
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

}  // namespace
