#include "cli_support.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool readNumber(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0';
}

std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

CLI::Validator finiteRange(double low, double high) {
    const std::string description =
        "[" + shortNumber(low) + " - " + shortNumber(high) + "]";
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0.0;
            if (!readNumber(text, &value) || !std::isfinite(value))
                return "'" + text + "' is not a number";
            if (value < low || value > high)
                return "'" + text + "' is not in " + shortNumber(low) + " .. " +
                       shortNumber(high);
            return std::string();
        },
        description);
}

CLI::Validator finiteNumber() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0.0;
            if (!readNumber(text, &value) || !std::isfinite(value))
                return "'" + text + "' is not a number";
            return std::string();
        },
        "NUMBER");
}

bool parseCommandLine(CLI::App& app, int argc, char** argv, int* status) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        *status = app.exit(e) == 0 ? kExitOk : kExitUsage;
        return false;
    }
    return true;
}

void addModelOptions(CLI::App& app, ModelChoice& choice, bool withStages) {
    app.add_option_function<std::string>(
           "--model",
           [&choice](const std::string& name) {
               meterTracker::parseTrackingModel(name, choice.model);
           },
           std::string("Tracking model: classic (the original tracker) or enhanced (the "
                       "classic one refined by further stages); default ") +
               meterTracker::trackingModelName(kDefaultTrackingModel))
        ->check(CLI::IsMember({"classic", "enhanced"}))
        ->type_name("MODEL");
    if (!withStages) return;
    app.add_option_function<std::string>(
           "--stages",
           [&choice](const std::string& list) {
               std::string error;
               meterTracker::parseEnhancedStages(list, choice.stages, error);
           },
           "Stages of the enhanced model to switch off, for measurements: e.g. -offbeat,-downbeat "
           "(all, the default, or none)")
        ->check(CLI::Validator(
            [](std::string& list) {
                meterTracker::EnhancedStages ignored;
                std::string error;
                return meterTracker::parseEnhancedStages(list, ignored, error) ? std::string()
                                                                               : error;
            },
            "LIST"))
        ->type_name("LIST");
}
