// The JACK test server dies with the test that started it, also when the
// test process crashes: servers left behind would make every later JACK test
// fail with "Too many servers already active".
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "jack_server.h"

namespace {

TEST(JackTestServer, DiesWithACrashedTest) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        close(fds[0]);
        jack_test::JackServer server;
        std::string why;
        pid_t server_pid = server.start(&why) ? server.pid() : -1;
        if (write(fds[1], &server_pid, sizeof server_pid) != sizeof server_pid) _exit(2);
        abort();  // as a sanitizer would
    }
    close(fds[1]);
    pid_t server_pid = -1;
    ASSERT_EQ(read(fds[0], &server_pid, sizeof server_pid), static_cast<ssize_t>(sizeof server_pid));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(test, &status, 0), test);
    ASSERT_GT(server_pid, 0) << "the server did not start";
    // The server was the crashed test's child; once reparented and killed it
    // is gone (reaped by whoever adopted it).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() < deadline) {
        gone = kill(server_pid, 0) != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone) << "jackd " << server_pid << " outlived its test";
    if (!gone) kill(server_pid, SIGKILL);
}

}  // namespace
