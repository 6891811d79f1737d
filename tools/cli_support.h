// Option handling shared by the kadenzo subcommands, so that they agree on
// checks and exit statuses.
#ifndef KADENZO_TOOLS_CLI_SUPPORT_H
#define KADENZO_TOOLS_CLI_SUPPORT_H

#include <CLI/CLI.hpp>
#include <string>

#include "trackingModel.h"

// Exit statuses of every subcommand.
enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// A number within [low, high]; unlike CLI::Range it refuses NaN.
CLI::Validator finiteRange(double low, double high);
// Any finite number.
CLI::Validator finiteNumber();

// The tracking model every subcommand runs unless told otherwise.
constexpr meterTracker::TrackingModel kDefaultTrackingModel = meterTracker::kDefaultTrackingModel;

// The tracking model options of analyze, render and live.
struct ModelChoice {
    meterTracker::TrackingModel model = kDefaultTrackingModel;
    meterTracker::EnhancedStages stages;
};
// --model classic|enhanced and, with withStages, --stages LIST (the enhanced
// model's stages to switch off, for measurements).
void addModelOptions(CLI::App& app, ModelChoice& choice, bool withStages = true);

// Parses argv; on --help prints the help and returns 0 in *status, on a
// usage error prints it and returns kExitUsage. True when the subcommand
// should go on.
bool parseCommandLine(CLI::App& app, int argc, char** argv, int* status);

#endif
