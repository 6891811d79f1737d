// Output files of the kadenzo subcommands: no output may be an input or
// another output however it is spelled, outputs are checked before the work
// starts, and a file only ever appears complete (written beside the final
// name and renamed; removed when the run fails or is stopped).
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output_file.h"
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

void writeWav(const std::string& path, double seconds) {
    synth::DrumPattern pattern;
    pattern.bpm = 120.0;
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

struct CommandRun {
    int status;
    std::string out, err;
};

CommandRun kadenzo(const TempDir& dir, const std::string& args) {
    const std::string out = dir.path() + ".out", err = dir.path() + ".err";
    const std::string command = std::string("cd '") + dir.path() + "' && '" + KADENZO_BINARY +
                                "' " + args + " >'" + out + "' 2>'" + err + "'";
    const int rc = std::system(command.c_str());
    CommandRun run{WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), readFile(out), readFile(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return run;
}

// ---- refused outputs, through the real program ------------------------------

struct Refused {
    const char* what;
    const char* args;  // run in the folder holding song.wav (and link.wav -> song.wav)
};

TEST(CliOutputs, AnOutputThatIsTheInputOrAnotherOutputIsRefusedAndNothingIsTouched) {
    const std::vector<Refused> cases = {
        {"render -o the input", "render song.wav -o song.wav"},
        {"render --log the input", "render song.wav --log song.wav"},
        {"render --prediction-log the input", "render song.wav --prediction-log ./song.wav"},
        {"render -o through ./", "render song.wav -o ./song.wav"},
        {"render -o through ..", "render song.wav -o sub/../song.wav"},
        {"render -o through a symbolic link", "render song.wav -o link.wav"},
        {"render input through a symbolic link", "render link.wav --log song.wav"},
        {"render -o through a hard link", "render song.wav -o hard.wav"},
        {"render -o and --log the same new file", "render song.wav -o out.x --log ./out.x"},
        {"analyze --midi the input", "analyze song.wav --midi song.wav"},
        {"analyze --midi through a symbolic link", "analyze song.wav --midi link.wav"},
    };
    for (const Refused& c : cases) {
        TempDir dir;
        writeWav(dir.file("song.wav"), 3.0);
        fs::create_directory(dir.file("sub"));
        fs::create_symlink("song.wav", dir.file("link.wav"));
        fs::create_hard_link(dir.file("song.wav"), dir.file("hard.wav"));
        const std::string before = readFile(dir.file("song.wav"));
        const std::vector<std::string> names = dir.names();

        const CommandRun run = kadenzo(dir, c.args);
        EXPECT_EQ(run.status, 1) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find("refusing to write"), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.what << ": the work did not start";
        EXPECT_EQ(readFile(dir.file("song.wav")), before) << c.what;
        EXPECT_EQ(dir.names(), names) << c.what << ": no file made or removed";
    }
}

TEST(CliOutputs, OutputsAreCheckedBeforeTheWorkStarts) {
    TempDir dir;
    writeWav(dir.file("song.wav"), 3.0);
    for (const char* args : {"render song.wav --log missing/dir/x.txt",
                             "render song.wav -o ok.mid --log missing/x.txt",
                             "analyze song.wav --midi missing/x.mid", "render song.wav -o sub"}) {
        fs::create_directory(dir.file("sub"));
        const CommandRun run = kadenzo(dir, args);
        EXPECT_EQ(run.status, 1) << args;
        EXPECT_NE(run.err.find("cannot write"), std::string::npos) << args << ": " << run.err;
        EXPECT_EQ(run.out, "") << args;
        EXPECT_FALSE(fs::exists(dir.file("ok.mid"))) << args;
    }
}

TEST(CliOutputs, FinishedOutputsReplaceOldFilesAndLeaveNoTemporaryFiles) {
    TempDir dir;
    writeWav(dir.file("song.wav"), 6.0);
    std::ofstream(dir.file("old.mid")) << "an old file";
    fs::create_symlink("target.txt", dir.file("log-link.txt"));  // dangling: written through
    const CommandRun run = kadenzo(dir, "render song.wav -o old.mid --log log-link.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir.file("old.mid")).rfind("MThd", 0), 0u);
    EXPECT_TRUE(fs::is_symlink(dir.file("log-link.txt"))) << "the link stays a link";
    EXPECT_NE(readFile(dir.file("target.txt")), "");
    for (const std::string& name : dir.names())
        EXPECT_EQ(name.find(".kadenzo-"), std::string::npos) << name;
}

TEST(CliUsage, UsageErrorsExitWithTwoInEverySubcommand) {
    TempDir dir;
    writeWav(dir.file("song.wav"), 1.0);
    for (const char* args :
         {"", "no-such-subcommand", "render", "render song.wav --anti-delay nan",
          "render song.wav --anti-delay 501", "render song.wav --bogus", "analyze --bogus song.wav",
          "live --bogus", "live --anti-delay NaN", "live --silence-threshold nan"}) {
        const CommandRun run = kadenzo(dir, args);
        EXPECT_EQ(run.status, 2) << args << ": " << run.err;
        EXPECT_NE(run.err, "") << args;
    }
}

TEST(CliUsage, RenderPrintsOnlyItsSummary) {
    TempDir dir;
    writeWav(dir.file("song.wav"), 4.0);
    const CommandRun run = kadenzo(dir, "render song.wav --anti-delay 20");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("midioutput"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.rfind("song.wav: 4.0 s of audio rendered", 0), 0u) << run.out;
}

// ---- OutputFile itself ---------------------------------------------------------

TEST(OutputFile, NothingAppearsUntilCommitAndADiscardKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("result.txt");
    std::ofstream(path) << "old";
    chmod(path.c_str(), 0640);
    {
        OutputFile out;
        std::string error;
        ASSERT_TRUE(out.open(path, error)) << error;
        std::fputs("new", out.stream());
        EXPECT_EQ(readFile(path), "old");
        EXPECT_EQ(fs::path(out.temporaryPath()).parent_path(), fs::path(dir.path()));
    }  // destroyed without commit
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(dir.names(), std::vector<std::string>{"result.txt"});

    OutputFile out;
    std::string error;
    ASSERT_TRUE(out.open(path, error));
    std::fputs("new", out.stream());
    ASSERT_TRUE(out.commit(error)) << error;
    EXPECT_EQ(readFile(path), "new");
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the replaced file's permissions stay";
    EXPECT_EQ(dir.names(), std::vector<std::string>{"result.txt"});
}

TEST(OutputFile, ATerminatedProgramLeavesNoTemporaryFile) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            removeUnfinishedOutputsOnSignals();
            OutputFile out;
            std::string error;
            if (!out.open(dir.file("half.mid"), error)) _exit(3);
            std::fputs("half of it", out.stream());
            std::fflush(out.stream());
            raise(signal);
            _exit(4);  // not reached
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_TRUE(dir.names().empty()) << "signal " << signal;
    }
}

TEST(OutputPlan, DistinctFilesAreAccepted) {
    TempDir dir;
    std::ofstream(dir.file("in.wav")) << "x";
    OutputPlan plan;
    plan.addInput(dir.file("in.wav"));
    std::string error;
    EXPECT_TRUE(plan.addOutput("-o", dir.file("a.mid"), error)) << error;
    EXPECT_TRUE(plan.addOutput("--log", dir.file("a.mid.txt"), error)) << error;
    EXPECT_FALSE(plan.addOutput("--log", dir.file("./a.mid"), error));
    EXPECT_NE(error.find("-o"), std::string::npos) << "names the other output: " << error;
}

}  // namespace
