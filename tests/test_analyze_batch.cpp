// `kadenzo analyze` over many files: folders (recursive or not), one JSONL
// line per file with the same results as analysing the file alone, a file
// that fails reported without stopping the batch, resuming an interrupted
// batch, any number of workers, and the same lines from GNU parallel.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "synthetic_drums.h"
#include "temp_dir.h"

#ifndef KADENZO_BINARY
#error "KADENZO_BINARY must name the kadenzo executable"
#endif

namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeDrums(const std::string& path, double bpm, double seconds) {
    synth::DrumPattern pattern;
    pattern.bpm = bpm;
    pattern.seconds = seconds;
    const synth::Music music = synth::drums(pattern);
    SF_INFO info{};
    info.channels = 1;
    info.samplerate = 44100;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> samples(music.samples.begin(), music.samples.end());
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

struct ShellRun {
    int status;
    std::string out, err;
};

ShellRun shell(const TempDir& dir, const std::string& command) {
    const std::string out = dir.path() + ".out", err = dir.path() + ".err";
    const int rc = std::system(("cd '" + dir.path() + "' && (" + command + ") >'" + out +
                                "' 2>'" + err + "'")
                                   .c_str());
    ShellRun run{WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), readFile(out), readFile(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

ShellRun kadenzo(const TempDir& dir, const std::string& args) {
    return shell(dir, std::string("'") + KADENZO_BINARY + "' " + args);
}

// The lines of a JSONL text by path.
std::map<std::string, nlohmann::json> byPath(const std::string& text) {
    std::map<std::string, nlohmann::json> records;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json record = nlohmann::json::parse(line);
        EXPECT_EQ(records.count(record["path"]), 0u) << "one line per file";
        records[record["path"]] = record;
    }
    return records;
}

// A library: three pieces, one in a sub-folder, a broken file, and a note.
void makeLibrary(const TempDir& dir) {
    fs::create_directories(dir.file("lib/live"));
    writeDrums(dir.file("lib/a.wav"), 96.0, 12.0);
    writeDrums(dir.file("lib/b.wav"), 131.0, 12.0);
    writeDrums(dir.file("lib/live/c.wav"), 110.0, 12.0);
    std::ofstream(dir.file("lib/broken.wav")) << "not a sound";
    std::ofstream(dir.file("lib/notes.txt")) << "set list";
}

TEST(AnalyzeBatch, EveryAudioFileGivesOneLineWithTheResultsOfAnalysingItAlone) {
    TempDir dir;
    makeLibrary(dir);
    const ShellRun run = kadenzo(dir, "analyze lib --recursive --jobs 2 --jsonl out.jsonl");
    EXPECT_EQ(run.status, 1) << "a file failed: " << run.err;
    EXPECT_NE(run.err.find("broken.wav"), std::string::npos) << run.err;
    const auto records = byPath(readFile(dir.file("out.jsonl")));
    ASSERT_EQ(records.size(), 4u) << "three pieces and the broken file, not the note";
    EXPECT_FALSE(records.at("lib/broken.wav")["error"].is_null());

    for (const char* piece : {"lib/a.wav", "lib/b.wav", "lib/live/c.wav"}) {
        const nlohmann::json& r = records.at(piece);
        EXPECT_TRUE(r["error"].is_null()) << piece;
        EXPECT_NEAR(r["duration"].get<double>(), 12.0, 1e-9);
        // The same beats and positions as the file analysed on its own.
        const ShellRun alone = kadenzo(dir, std::string("analyze --beats ") + piece);
        ASSERT_EQ(alone.status, 0);
        std::istringstream lines(alone.out);
        std::size_t i = 0;
        for (double t; lines >> t;) {
            int position = 0;
            lines >> position;
            ASSERT_LT(i, r["beats"].size()) << piece;
            EXPECT_NEAR(r["beats"][i][0].get<double>(), t, 5e-4) << piece << " beat " << i;
            EXPECT_EQ(r["beats"][i][1].get<int>(), position) << piece << " beat " << i;
            ++i;
        }
        EXPECT_EQ(i, r["beats"].size()) << piece;
        EXPECT_GE(r["beats_per_bar"].get<int>(), 1);
    }
    EXPECT_NEAR(records.at("lib/b.wav")["tempo"].get<double>(), 131.0, 131.0 * 0.03);
}

// Workers open files at the same time; each broken file still gets the reason
// of its own failure, not what another worker's open left behind.
TEST(AnalyzeBatch, EveryBrokenFileGivesItsOwnReasonWhileOthersOpen) {
    TempDir dir;
    fs::create_directories(dir.file("lib"));
    for (int i = 0; i < 8; ++i) {
        writeDrums(dir.file("lib/good" + std::to_string(i) + ".wav"), 120.0, 2.0);
        std::ofstream(dir.file("lib/broken" + std::to_string(i) + ".wav")) << "not a sound";
    }
    const ShellRun run = kadenzo(dir, "analyze lib --quiet -j 4 --jsonl -");
    EXPECT_EQ(run.status, 1) << run.err;
    const auto records = byPath(run.out);
    ASSERT_EQ(records.size(), 16u);
    for (const auto& [path, record] : records) {
        if (path.find("broken") == std::string::npos) {
            EXPECT_TRUE(record["error"].is_null()) << path;
            continue;
        }
        const std::string error = record["error"].get<std::string>();
        EXPECT_NE(error.find("Format not recognised"), std::string::npos) << path << ": " << error;
    }
}

TEST(AnalyzeBatch, AFolderWithoutRecursiveGivesOnlyItsOwnFiles) {
    TempDir dir;
    makeLibrary(dir);
    const ShellRun run = kadenzo(dir, "analyze lib --quiet --jsonl -");
    const auto records = byPath(run.out);
    EXPECT_EQ(records.size(), 3u);
    EXPECT_EQ(records.count("lib/live/c.wav"), 0u);
}

TEST(AnalyzeBatch, AnInterruptedBatchResumesWithoutRepeatingOrLosingAFile) {
    TempDir dir;
    makeLibrary(dir);
    ASSERT_EQ(kadenzo(dir, "analyze lib -r -j 1 --jsonl whole.jsonl").status, 1);
    const std::string whole = readFile(dir.file("whole.jsonl"));
    // The batch was stopped after two files, in the middle of the third line.
    std::istringstream in(whole);
    std::string l1, l2, l3;
    std::getline(in, l1);
    std::getline(in, l2);
    std::getline(in, l3);
    std::ofstream(dir.file("resumed.jsonl")) << l1 << '\n' << l2 << '\n' << l3.substr(0, l3.size() / 2);
    const ShellRun run = kadenzo(dir, "analyze lib -r --jsonl resumed.jsonl");
    EXPECT_NE(run.err.find("2 already done"), std::string::npos) << run.err;
    EXPECT_EQ(byPath(readFile(dir.file("resumed.jsonl"))), byPath(whole));
    // Once complete, a further run has nothing to do.
    const ShellRun again = kadenzo(dir, "analyze lib -r --jsonl resumed.jsonl");
    EXPECT_NE(again.err.find("0 analysed, 0 failed, 4 already done"), std::string::npos) << again.err;
}

TEST(AnalyzeBatch, TheNumberOfWorkersChangesOnlyTheOrderOfTheLines) {
    TempDir dir;
    makeLibrary(dir);
    kadenzo(dir, "analyze lib -r -j 1 --jsonl one.jsonl");
    kadenzo(dir, "analyze lib -r -j 3 --jsonl three.jsonl");
    EXPECT_EQ(byPath(readFile(dir.file("one.jsonl"))), byPath(readFile(dir.file("three.jsonl"))));
}

TEST(AnalyzeBatch, OptionsForOneFileAndAnOutputThatIsAnInputAreRefused) {
    TempDir dir;
    makeLibrary(dir);
    EXPECT_EQ(kadenzo(dir, "analyze lib/a.wav lib/b.wav --beats").status, 2);
    EXPECT_EQ(kadenzo(dir, "analyze lib --midi x.mid").status, 2);
    EXPECT_EQ(kadenzo(dir, "analyze lib/a.wav --recursive").status, 2);
    const std::string before = readFile(dir.file("lib/a.wav"));
    const ShellRun run = kadenzo(dir, "analyze lib/a.wav lib/b.wav --jsonl lib/a.wav");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("refusing to write"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(dir.file("lib/a.wav")), before);
}

TEST(AnalyzeBatch, GnuParallelOnThisMachineGivesTheSameLines) {
    TempDir dir;
    makeLibrary(dir);
    if (shell(dir, "command -v parallel").status != 0) GTEST_SKIP() << "GNU parallel is not installed";
    kadenzo(dir, "analyze lib -r --jsonl batch.jsonl");
    const ShellRun run = shell(dir, std::string("find lib -type f -name '*.wav' | parallel --will-cite "
                                           "--sshlogin : '") +
                                   KADENZO_BINARY + "' analyze --quiet --jsonl - {} > spread.jsonl");
    EXPECT_EQ(run.status, 1) << "the broken file fails there too: " << run.err;
    EXPECT_EQ(byPath(readFile(dir.file("spread.jsonl"))), byPath(readFile(dir.file("batch.jsonl"))));
}

}  // namespace
