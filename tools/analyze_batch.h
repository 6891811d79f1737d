// `kadenzo analyze` over many files: a music library, on every core.
//
// Inputs are files and folders (a folder gives its audio files, and with
// recursive those of every folder below it). Each file is analysed on its own
// by one of the workers, and its result becomes one line of JSONL: a JSON
// object with the path, duration, tempo, beats per bar and beats, or the
// error that kept the file from being analysed (the batch goes on). Lines
// are appended to the output as files finish, so an interrupted batch loses
// at most the files under way, and a batch started again on the same output
// skips the files it already holds: resumable. Results do not depend on the
// number of workers; only the order of the lines does.
#ifndef KADENZO_TOOLS_ANALYZE_BATCH_H
#define KADENZO_TOOLS_ANALYZE_BATCH_H

#include <string>
#include <vector>

#include "analysis.h"

struct BatchOptions {
    std::vector<std::string> inputs;  // files and folders
    bool recursive = false;
    unsigned jobs = 0;      // workers; 0 for one per core
    std::string jsonlPath;  // "-" for standard output
    bool quiet = false;     // no progress bar
    AnalysisOptions analysis;
};

// The audio files of the inputs, in a stable order (by path); a folder's
// files are those with the name of an audio format libsndfile reads; a file
// named is taken whatever it is (one that cannot be read fails on its own).
std::vector<std::string> collectAudioFiles(const std::vector<std::string>& inputs,
                                           bool recursive);

// Runs the batch; the exit status (0 when every file was analysed or already
// done, 1 when some could not be, or the output cannot be written).
int runBatch(const BatchOptions& options);

#endif
