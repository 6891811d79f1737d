// Output files of the kadenzo subcommands, written so that a user's file is
// never lost:
// - before any work starts, every output path is checked against every
//   input and every other output (the same file reached through another
//   name, "./", "..", or a symbolic link counts as the same: existing files
//   are compared by device and inode, new ones by their resolved path);
// - each output is written to a temporary file in the folder it belongs in
//   and renamed over the final name only once it is complete, so that a
//   failed or interrupted run leaves the old file (or none), never half of
//   a new one. Temporary files are removed on failure and when the program
//   is stopped by SIGINT, SIGTERM or SIGHUP.
#ifndef KADENZO_TOOLS_OUTPUT_FILE_H
#define KADENZO_TOOLS_OUTPUT_FILE_H

#include <cstdio>
#include <string>
#include <vector>

// The set of files one run reads and writes.
class OutputPlan {
  public:
    // Files the run reads (need not exist yet: a missing input is reported
    // by whoever opens it).
    void addInput(const std::string& path);
    // A file the run writes, named for messages by the option that gave it
    // ("--log"). False with a one-line reason when the path is an input, an
    // output already added, a folder, or lies in a folder that does not exist.
    bool addOutput(const std::string& option, const std::string& path, std::string& error);

  private:
    struct Entry {
        std::string option;  // empty for inputs
        std::string path;
        std::string resolved;  // absolute, symbolic links followed where they exist
        bool exists = false;
        unsigned long long device = 0, inode = 0;
    };
    static Entry describe(const std::string& option, const std::string& path);
    static bool same(const Entry& a, const Entry& b);

    std::vector<Entry> inputs_;
    std::vector<Entry> outputs_;
};

// One output file under construction. open() creates the temporary file
// next to the final one (so that errors such as a folder without write
// permission show before the work starts); commit() completes it.
class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    // Removes the temporary file unless committed.
    ~OutputFile();

    // False with a one-line reason (naming path) when the temporary file
    // cannot be created.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return file_ != nullptr; }

    // The stream to write to, and its temporary path (for writers that open
    // the file themselves).
    std::FILE* stream() { return file_; }
    const std::string& temporaryPath() const { return temporary_; }
    const std::string& path() const { return path_; }

    // Flushes, closes and renames the file into place; false with a reason
    // (the system's) when any of it fails, and the temporary file is removed.
    bool commit(std::string& error);
    // Closes and removes the temporary file; the final path is untouched.
    void discard();

  private:
    std::string path_;       // as the user gave it
    std::string final_;      // where it goes: symbolic links followed
    std::string temporary_;  // in final_'s folder
    std::FILE* file_ = nullptr;
    int slot_ = -1;  // entry in the table the signal handler cleans up
};

// Writes the whole text to path through an OutputFile; false with a reason.
bool writeWholeFile(const std::string& path, const std::string& text, std::string& error);

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of outputs
// still under construction before the program ends as the signal would end
// it. For programs without signal handlers of their own (analyze, render).
void removeUnfinishedOutputsOnSignals();

#endif
