// Child processes of a test, started and stopped by process id, and a JACK
// server of the test's own: dummy backend, 128-frame periods, a name no
// other running server has, which every client of this process (PortAudio,
// RtMidi, the JACK tools it starts) then uses.
#ifndef KADENZO_TESTS_JACK_SERVER_H
#define KADENZO_TESTS_JACK_SERVER_H

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
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

namespace jack_test {

using SteadyClock = std::chrono::steady_clock;

inline std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a program found on PATH with its standard output and error appended
// to a file (standard error to error_path instead, when given); -1 when it
// cannot run. The child is tied to this test process: it gets death_signal
// when the test dies (a crash, a sanitizer abort), so that no server or
// program of a test outlives it.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& output_path,
                   const std::string& error_path = std::string(), int death_signal = SIGTERM) {
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, death_signal) != 0 || getppid() != parent) _exit(127);
        const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int err = error_path.empty()
                            ? out
                            : open(error_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out < 0 || err < 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    // A program that cannot be run shows as an immediate exit with 127.
    return pid;
}

inline bool has_exited(pid_t pid, int* status) {
    return waitpid(pid, status, WNOHANG) == pid;
}

// Waits up to the given time for the process to end; true with its status.
inline bool wait_for_exit(pid_t pid, double seconds, int* status) {
    const auto deadline = SteadyClock::now() + std::chrono::duration<double>(seconds);
    while (!has_exited(pid, status)) {
        if (SteadyClock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Sends SIGTERM, then SIGKILL if the process is still there after the grace time.
inline void stop_process(pid_t pid, double grace_seconds = 5.0) {
    if (pid <= 0) return;
    int status = 0;
    if (has_exited(pid, &status)) return;
    kill(pid, SIGTERM);
    if (!wait_for_exit(pid, grace_seconds, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

class JackServer {
  public:
    JackServer() = default;
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    ~JackServer() {
        stop();
        remove_traces();
        release_pooled_name();
    }

    // Starts jackd at the given rate with the given number of capture
    // channels (and two playback channels) and waits until it accepts
    // clients; false with the reason when it cannot start at all.
    bool start(std::string* why, int rate = 44100, int capture_channels = 2) {
        release_pooled_name();  // a server stopped before keeps its name until here
        if (take_pooled_name() && start_as(why, rate, capture_channels)) return true;
        release_pooled_name();
        name_ = "kadenzo-test-" + std::to_string(getpid()) + "-" +
                std::to_string(SteadyClock::now().time_since_epoch().count() % 1000000);
        return start_as(why, rate, capture_channels);
    }

    // Stops the server by its process id, forcibly if it does not end. Its
    // name stays taken (clients may still look for it, and its traces are
    // removed later) until the next start or the end of this object.
    void stop() {
        stop_process(pid_);
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

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }

  private:
    // JACK's registry has room for eight servers, and one that was killed
    // (a server that dies in a test, a crashed test's server) keeps its
    // entry until a server of the same name starts. Test servers therefore
    // take their names from a small pool, each name held by a lock on a file
    // for as long as its server runs; with every name taken, a unique one.
    static constexpr int kPooledNames = 4;
    bool take_pooled_name() {
        for (int k = 0; k < kPooledNames; ++k) {
            const std::string lock = std::filesystem::temp_directory_path().string() +
                                     "/kadenzo-jack-test-" + std::to_string(getuid()) + "-" +
                                     std::to_string(k) + ".lock";
            const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0) continue;
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                name_lock_ = fd;
                name_ = "kadenzo-test-" + std::to_string(k);
                return true;
            }
            close(fd);
        }
        return false;
    }
    void release_pooled_name() {
        if (name_lock_ >= 0) close(name_lock_);
        name_lock_ = -1;
    }

    bool start_as(std::string* why, int rate, int capture_channels) {
        log_path_ = std::filesystem::temp_directory_path().string() + "/" + name_ + ".log";
        std::ofstream(log_path_, std::ios::trunc);  // a pooled name's log holds an earlier run's
        setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        pid_ = spawn({"jackd", "-n", name_, "-r", "-d", "dummy", "-r", std::to_string(rate), "-p",
                      "128", "-C", std::to_string(capture_channels), "-P", "2"},
                     log_path_, std::string(), SIGKILL);
        if (pid_ < 0) {
            *why = "jackd could not be run (is the jackd2 package installed?)";
            return false;
        }
        const pid_t waiter = spawn({"jack_wait", "-w", "-t", "10"}, log_path_);
        int status = 0;
        if (waiter < 0 || waitpid(waiter, &status, 0) != waiter || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0 || has_exited(pid_, &status)) {
            *why = "jackd did not become ready; its output:\n" + file_text(log_path_);
            stop_process(pid_);
            pid_ = -1;
            return false;
        }
        return true;
    }

    std::string name_;
    std::string log_path_;
    pid_t pid_ = -1;
    int name_lock_ = -1;
};

}  // namespace jack_test

#endif
