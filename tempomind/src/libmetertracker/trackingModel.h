// The tracking models a meter tracker can run, chosen when it is made.
//
// classic:  the original tracker (resonator banks, period and phase models).
// enhanced: the classic tracker underneath, whose estimate of every analysis
//           step is then refined by further stages (each can be switched off
//           for measurements): regrouping compound music into dotted beats,
//           an off-beat test, the bar tracking, and periods and beats finer
//           than an accent frame.
#ifndef METERTRACKER_TRACKINGMODEL_H
#define METERTRACKER_TRACKINGMODEL_H

#include <string>

namespace meterTracker {

enum class TrackingModel { Classic, Enhanced };

// What the command line and the window run unless told otherwise (the engine's
// own interface keeps the classic model as its default): the enhanced model
// finds beats, metrical levels and bar starts better on every set measured.
constexpr TrackingModel kDefaultTrackingModel = TrackingModel::Enhanced;

// "classic" or "enhanced"; false for anything else.
bool parseTrackingModel(const std::string& name, TrackingModel& model);
const char* trackingModelName(TrackingModel model);

// The enhanced model's stages.
struct EnhancedStages {
    bool level = true;     // dotted beats where the eighths group in threes
    bool offbeat = true;   // the beat where the lowest-frequency onsets are
    bool downbeat = true;  // bar starts and beats per bar from per-beat evidence
    bool subframe = true;  // periods and beats between accent frames
};

// A comma-separated list of stage names to switch off, each with a leading
// '-' ("-level,-offbeat,-downbeat,-subframe"), "all" (the default) or
// "none". False with a reason for an unknown name.
bool parseEnhancedStages(const std::string& list, EnhancedStages& stages, std::string& error);

}  // namespace meterTracker

#endif
