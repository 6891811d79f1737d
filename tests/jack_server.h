// A JACK server of the test's own: dummy backend at 44100 Hz with 128-frame
// periods, a unique name that every client of this process then uses, and
// stopped by its process id.
#ifndef KADENZO_TESTS_JACK_SERVER_H
#define KADENZO_TESTS_JACK_SERVER_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

#if defined(__SANITIZE_THREAD__)
// JACK's lock-free ring buffers (between RtMidi's sending thread and JACK's
// process thread) and the queue inside RtMidi's input order their copies with
// barriers the race detector does not see. Include this header in one file
// of a test program only.
extern "C" const char* __tsan_default_suppressions() {
    return "race:jack_ringbuffer_read\n"
           "race:jack_ringbuffer_peek\n"
           "race:jack_ringbuffer_write\n"
           "race:MidiInApi::MidiQueue\n";
}
#endif

namespace jack_test {

using SteadyClock = std::chrono::steady_clock;

// Runs a program found on PATH with its output appended to a file.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& output_path) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

class JackServer {
  public:
    JackServer() = default;
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    ~JackServer() {
        stop();
        remove_traces();
    }

    // Starts jackd (44100 Hz, 128-frame periods) and waits until it accepts
    // clients; false with the reason when it cannot start at all. Every
    // client of this process then uses this server.
    bool start(const std::string& directory, std::string* why) {
        name_ = "kadenzo-test-" + std::to_string(getpid()) + "-" +
                std::to_string(SteadyClock::now().time_since_epoch().count() % 1000000);
        log_path_ = directory + "/" + name_ + ".log";
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        pid_ = spawn({"jackd", "-n", name_, "-r", "-d", "dummy", "-r", "44100", "-p", "128"},
                     log_path_);
        if (pid_ < 0) {
            *why = "jackd could not be run (is the jackd2 package installed?)";
            return false;
        }
        const pid_t waiter = spawn({"jack_wait", "-w", "-t", "10"}, log_path_);
        int status = 0;
        if (waiter < 0 || waitpid(waiter, &status, 0) != waiter || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0 || waitpid(pid_, &status, WNOHANG) == pid_) {
            *why = "jackd did not become ready; its output:\n" + log_text();
            stop();
            return false;
        }
        return true;
    }

    // Stops the server by its process id, forcibly if it does not end.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (SteadyClock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    // Removes the server's log and the semaphores JACK leaves for clients
    // still open when the server went; also done on destruction.
    void remove_traces() {
        if (name_.empty()) return;
        std::error_code ignored;
        std::filesystem::remove(log_path_, ignored);
        const std::string prefix = "jack_sem." + std::to_string(getuid()) + "_" + name_ + "_";
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) {
                std::filesystem::remove(entry.path(), ignored);
            }
        }
    }

  private:
    std::string log_text() const {
        std::ifstream in(log_path_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string name_;
    std::string log_path_;
    pid_t pid_ = -1;
};

}  // namespace jack_test

#endif
