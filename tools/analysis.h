// The analysis behind `kadenzo analyze`: the meter tracker over a whole
// audio file, fed in 128-sample blocks at 44100 Hz exactly as the live
// engine feeds it, with its steps and pulses taken out as they come, then
// the beats with their positions in the bar. One file per call; calls on
// different files may run on different threads at once.
#ifndef KADENZO_TOOLS_ANALYSIS_H
#define KADENZO_TOOLS_ANALYSIS_H

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "trackingModel.h"

struct AnalysisOptions {
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;
    meterTracker::EnhancedStages stages;
};

enum AnalysisLevel { kBeat = 0, kBar = 1, kTatum = 2 };  // pulse cache column order

struct Step {
    unsigned index;
    double confidence;  // of a steady beat, 0 .. 1
    double time;  // end of the audio the step covers, seconds
    double period[3];
    double phase[3];
};

struct Analysis {
    std::string path;
    std::string format;
    double duration = 0.0;
    double fileRate = 0.0;
    int channels = 0;
    bool resampled = false;

    double accentRate = 0.0;
    unsigned stepHop = 0;
    std::vector<Step> steps;
    std::vector<double> tatumPulses, beatPulses, barPulses;  // as the tracker gives them

    std::vector<double> beats;   // beat pulses at or after time 0
    std::vector<int> positions;  // per beat, 1 on a bar's first beat
    double medianBeatPeriod = 0.0;
    double lowTempo = 0.0, highTempo = 0.0;  // 10th and 90th percentile, BPM
    int beatsPerBar = 0;
    int bars = 0;
    // Whether the file has a steady beat at all: most steps are confident.
    bool steadyBeat = true;
    meterTracker::TrackingModel model = meterTracker::TrackingModel::Classic;

    double decodeSeconds = 0.0;
    double trackerSeconds = 0.0;
};


// The tracker's rate, at which files are analysed.
extern const double kAnalysisRate;

// Analyses the file at path: tracking, then positions in the bar. False with
// a one-line error (the file cannot be read, or is too short). progress,
// when given, is called now and then with the share of the file decoded.
bool analyzeFile(const std::string& path, const AnalysisOptions& options, Analysis& a,
                 std::string& error, const std::function<void(double)>& progress = {});

// The --json document of an analysis.
nlohmann::ordered_json analysisJson(const Analysis& a);
// One line of a batch's JSONL: path, duration, tempo (median BPM, null
// without a steady beat), beats per bar, beats as [time, position] pairs.
nlohmann::ordered_json batchRecord(const Analysis& a);
// The line of a file that could not be analysed.
nlohmann::ordered_json batchErrorRecord(const std::string& path, const std::string& error);
// JSON text of a document; bytes of names that are not valid UTF-8 become U+FFFD.
std::string jsonText(const nlohmann::ordered_json& json, int indent);

double percentile(std::vector<double> values, double q);

#endif
