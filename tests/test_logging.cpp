// Engine logging: the installable handler and the ready-made stderr handler.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common.h"

namespace {

struct Captured {
    int level;
    void* udata;
    std::string text;
};

void capture(int level, void* udata, const char* format, va_list args) {
    char buf[256];
    std::vsnprintf(buf, sizeof buf, format, args);
    static_cast<std::vector<Captured>*>(udata)->push_back({level, udata, buf});
}

class Logging : public ::testing::Test {
protected:
    void TearDown() override {
        tm_logmsg_handler = nullptr;
        tm_logmsg_handler_udata = nullptr;
    }
};

TEST_F(Logging, WithoutHandlerNothingHappens) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    tm_logmsg(3, "lost %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(Logging, HandlerReceivesLevelUserDataAndArguments) {
    std::vector<Captured> got;
    tm_logmsg_handler = capture;
    tm_logmsg_handler_udata = &got;
    tm_logmsg(2, "thread %d too %s", 7, "slow");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].level, 2);
    EXPECT_EQ(got[0].udata, &got);
    EXPECT_EQ(got[0].text, "thread 7 too slow");
}

struct StderrCase {
    int level;
    const char* format;
    const char* expected;
};

class StderrHandler : public Logging, public ::testing::WithParamInterface<StderrCase> {};

TEST_P(StderrHandler, PrefixAndNewline) {
    tm_logmsg_handler = tm_logmsg_stderr;
    testing::internal::CaptureStderr();
    tm_logmsg(GetParam().level, GetParam().format, 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, StderrHandler,
    ::testing::Values(StderrCase{0, "trace %d", "Tempomind: trace 42\n"},
                      StderrCase{1, "notice %d", "Tempomind: notice 42\n"},
                      StderrCase{2, "warn %d", "Tempomind Warning: warn 42\n"},
                      StderrCase{3, "err %d", "Tempomind Error: err 42\n"},
                      StderrCase{7, "other %d", "Tempomind: other 42\n"},
                      // A message that ends in a newline ends in two.
                      StderrCase{1, "Version %d\n", "Tempomind: Version 42\n\n"}));

TEST_F(Logging, LongMessagesAreWrittenWhole) {
    tm_logmsg_handler = tm_logmsg_stderr;
    const std::string longText(5000, 'x');
    testing::internal::CaptureStderr();
    tm_logmsg(3, "%s|", longText.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tempomind Error: " + longText + "|\n");
}

}  // namespace
