#include "output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string inQuotes(const std::string& path) {
    return "'" + path + "'";
}

// Absolute path with every symbolic link followed, also a last one that
// points to a file not there yet (writing through it makes that file).
std::string resolve(const std::string& path) {
    std::error_code error;
    fs::path p = fs::absolute(path, error);
    for (int hops = 0; hops < 40 && fs::is_symlink(p, error); ++hops) {
        const fs::path target = fs::read_symlink(p, error);
        if (error) break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    fs::path resolved = fs::weakly_canonical(p, error);
    if (error) resolved = p.lexically_normal();
    return resolved.string();
}

// ---- temporary files the signal handler removes ----------------------------

// A fixed table, so that the handler only reads plain memory and calls
// unlink (both async-signal-safe). A slot is free, being filled, or ready.
constexpr int kSlots = 16;
enum SlotState { kFree = 0, kFilling = 1, kReady = 2 };
struct Slot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};
Slot g_slots[kSlots];

int claimSlot(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].state.store(kReady);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot) {
    if (slot >= 0) g_slots[slot].state.store(kFree);
}

void removeTemporariesAndDie(int signal) {
    for (Slot& slot : g_slots) {
        if (slot.state.load() == kReady) ::unlink(slot.path);
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
}

}  // namespace

// ---- OutputPlan --------------------------------------------------------------

OutputPlan::Entry OutputPlan::describe(const std::string& option, const std::string& path) {
    Entry entry;
    entry.option = option;
    entry.path = path;
    entry.resolved = resolve(path);
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        entry.exists = true;
        entry.device = static_cast<unsigned long long>(info.st_dev);
        entry.inode = static_cast<unsigned long long>(info.st_ino);
    }
    return entry;
}

bool OutputPlan::same(const Entry& a, const Entry& b) {
    if (a.exists && b.exists) return a.device == b.device && a.inode == b.inode;
    return a.resolved == b.resolved;
}

void OutputPlan::addInput(const std::string& path) {
    inputs_.push_back(describe(std::string(), path));
}

bool OutputPlan::addOutput(const std::string& option, const std::string& path,
                           std::string& error) {
    if (path.empty()) {
        error = option + " needs a file name";
        return false;
    }
    const Entry entry = describe(option, path);
    for (const Entry& input : inputs_) {
        if (same(entry, input)) {
            error = "refusing to write " + option + " " + inQuotes(path) +
                    ": it is the input file " + inQuotes(input.path);
            return false;
        }
    }
    for (const Entry& output : outputs_) {
        if (same(entry, output)) {
            error = "refusing to write " + option + " " + inQuotes(path) + ": " + output.option +
                    " " + inQuotes(output.path) + " is the same file";
            return false;
        }
    }
    std::error_code ignored;
    if (fs::is_directory(entry.resolved, ignored)) {
        error = "cannot write " + option + " " + inQuotes(path) + ": it is a folder";
        return false;
    }
    const fs::path folder = fs::path(entry.resolved).parent_path();
    if (!fs::is_directory(folder, ignored)) {
        error = "cannot write " + option + " " + inQuotes(path) + ": the folder " +
                inQuotes(folder.string()) + " does not exist";
        return false;
    }
    outputs_.push_back(entry);
    return true;
}

// ---- OutputFile --------------------------------------------------------------

OutputFile::~OutputFile() {
    discard();
}

bool OutputFile::open(const std::string& path, std::string& error) {
    discard();
    path_ = path;
    final_ = resolve(path);
    const fs::path target(final_);
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".kadenzo-XXXXXX")).string();
    const int fd = ::mkstemp(&pattern[0]);
    if (fd < 0) {
        error = "cannot write " + inQuotes(path) + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the finished file gets the usual
    // permissions, or keeps those of the file it replaces.
    struct stat existing;
    if (::stat(final_.c_str(), &existing) == 0) {
        ::fchmod(fd, existing.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        error = "cannot write " + inQuotes(path) + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(pattern.c_str());
        return false;
    }
    temporary_ = pattern;
    slot_ = claimSlot(temporary_);
    return true;
}

bool OutputFile::commit(std::string& error) {
    if (!file_) {
        error = "cannot write " + inQuotes(path_) + ": not open";
        return false;
    }
    std::FILE* file = file_;
    file_ = nullptr;
    const bool written = std::fflush(file) == 0 && !std::ferror(file);
    const int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write " + inQuotes(path_) + ": " +
                std::strerror(written ? errno : writeErrno);
        discard();
        return false;
    }
    if (::rename(temporary_.c_str(), final_.c_str()) != 0) {
        error = "cannot write " + inQuotes(path_) + ": " + std::strerror(errno);
        discard();
        return false;
    }
    releaseSlot(slot_);
    slot_ = -1;
    temporary_.clear();
    return true;
}

void OutputFile::discard() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    releaseSlot(slot_);
    slot_ = -1;
}

bool writeWholeFile(const std::string& path, const std::string& text, std::string& error) {
    OutputFile out;
    if (!out.open(path, error)) return false;
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), out.stream()) != text.size()) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    return out.commit(error);
}

void removeUnfinishedOutputsOnSignals() {
    struct sigaction action = {};
    action.sa_handler = removeTemporariesAndDie;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}
