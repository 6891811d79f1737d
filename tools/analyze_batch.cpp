#include "analyze_batch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "output_file.h"
#include "progress_bar.h"

namespace fs = std::filesystem;

namespace {

// Names of the formats libsndfile reads, by their usual extensions.
const char* const kAudioExtensions[] = {".wav", ".wave", ".flac", ".aif", ".aiff", ".aifc",
                                        ".ogg", ".oga",  ".opus", ".mp3", ".au",   ".snd",
                                        ".caf", ".w64",  ".rf64", ".voc", ".mat",  ".paf"};

bool isAudioName(const fs::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* known : kAudioExtensions)
        if (ext == known) return true;
    return false;
}

// The paths a JSONL file already holds; a last line cut short (an
// interrupted batch) is removed from the file.
bool readDone(const std::string& path, std::set<std::string>& done, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;  // no output yet
    std::string line;
    std::streamoff complete = 0;  // bytes of the whole lines read
    while (std::getline(in, line)) {
        if (in.eof()) break;  // no newline after it: cut short
        try {
            const nlohmann::json record = nlohmann::json::parse(line);
            if (record.contains("path") && record["path"].is_string())
                done.insert(record["path"].get<std::string>());
        } catch (const nlohmann::json::exception&) {
            error = "'" + path + "' holds a line that is not JSON (not an output of kadenzo?)";
            return false;
        }
        complete = in.tellg();
    }
    in.close();
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && info.st_size > complete) {
        if (::truncate(path.c_str(), complete) != 0) {
            error = "cannot repair '" + path + "': " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// One finished file, handed from a worker to the writer.
struct Result {
    std::string line;  // the JSONL line, without its newline
    bool ok = false;
    std::string error;
};

}  // namespace

std::vector<std::string> collectAudioFiles(const std::vector<std::string>& inputs,
                                           bool recursive) {
    std::vector<std::string> found;
    for (const std::string& input : inputs) {
        std::error_code ec;
        // A file named is analysed whatever it is; one that cannot be read
        // becomes the batch's error line for it.
        if (!fs::is_directory(input, ec)) {
            found.push_back(input);
            continue;
        }
        auto take = [&](const fs::directory_entry& entry) {
            if (entry.is_regular_file(ec) && isAudioName(entry.path()))
                found.push_back(entry.path().string());
        };
        if (recursive) {
            for (fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied, ec), end;
                 it != end; it.increment(ec))
                take(*it);
        } else {
            for (fs::directory_iterator it(input, ec), end; it != end; it.increment(ec)) take(*it);
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

int runBatch(const BatchOptions& options) {
    auto fail = [](const std::string& message) {
        std::fprintf(stderr, "kadenzo analyze: %s\n", message.c_str());
        return 1;
    };
    const std::vector<std::string> files = collectAudioFiles(options.inputs, options.recursive);
    std::string error;
    if (files.empty()) {
        std::string named;
        for (const std::string& input : options.inputs) named += (named.empty() ? "'" : ", '") + input + "'";
        return fail("no audio files in " + named + (options.recursive ? "" : " (--recursive looks in the folders below too)"));
    }

    const bool toStdout = options.jsonlPath.empty() || options.jsonlPath == "-";
    std::set<std::string> done;
    if (!toStdout) {
        OutputPlan plan;
        for (const std::string& file : files) plan.addInput(file);
        if (!plan.addOutput("--jsonl", options.jsonlPath, error)) return fail(error);
        if (!readDone(options.jsonlPath, done, error)) return fail(error);
    }
    std::vector<std::string> pending;
    for (const std::string& file : files)
        if (!done.count(file)) pending.push_back(file);
    const std::size_t skipped = files.size() - pending.size();

    std::FILE* out = stdout;
    if (!toStdout) {
        out = std::fopen(options.jsonlPath.c_str(), "ab");
        if (!out) return fail("cannot write '" + options.jsonlPath + "': " + std::strerror(errno));
    }

    // Workers take the next file in turn; the writer (this thread) puts the
    // results out as they come.
    unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(1, pending.size())));
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Result> results;
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < jobs; ++w) {
        workers.emplace_back([&]() {
            for (std::size_t i; (i = next.fetch_add(1)) < pending.size();) {
                Result result;
                try {
                    Analysis analysis;
                    std::string why;
                    result.ok = analyzeFile(pending[i], options.analysis, analysis, why);
                    result.error = why;
                    result.line = jsonText(result.ok ? batchRecord(analysis)
                                                     : batchErrorRecord(pending[i], why),
                                           -1);
                } catch (const std::exception& e) {
                    result.ok = false;
                    result.error = "'" + pending[i] + "': " + e.what();
                    result.line = jsonText(batchErrorRecord(pending[i], result.error), -1);
                }
                {
                    std::lock_guard<std::mutex> hold(lock);
                    results.push_back(std::move(result));
                }
                ready.notify_one();
            }
        });
    }

    ProgressBar progress(!options.quiet && isatty(STDERR_FILENO),
                         "analysing " + std::to_string(pending.size()) + " files");
    std::size_t written = 0, failed = 0;
    bool writeError = false;
    while (written < pending.size()) {
        Result result;
        {
            std::unique_lock<std::mutex> hold(lock);
            ready.wait(hold, [&] { return !results.empty(); });
            result = std::move(results.front());
            results.pop_front();
        }
        ++written;
        if (!result.ok) {
            ++failed;
            progress.finish();
            std::fprintf(stderr, "kadenzo analyze: %s\n", result.error.c_str());
        }
        if (!writeError) {
            result.line += '\n';
            writeError = std::fwrite(result.line.data(), 1, result.line.size(), out) !=
                             result.line.size() ||
                         std::fflush(out) != 0;
        }
        progress.update(static_cast<double>(written) / static_cast<double>(pending.size()));
    }
    for (std::thread& worker : workers) worker.join();
    progress.finish();
    if (!toStdout && std::fclose(out) != 0) writeError = true;
    if (writeError) return fail("cannot write '" + options.jsonlPath + "': " + std::strerror(errno));

    if (!options.quiet)
        std::fprintf(stderr, "kadenzo analyze: %zu files: %zu analysed, %zu failed, %zu already done\n",
                     files.size(), written - failed, failed, skipped);
    return failed ? 1 : 0;
}
