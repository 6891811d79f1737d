#include "trackingModel.h"

#include <sstream>

namespace meterTracker {

bool parseTrackingModel(const std::string& name, TrackingModel& model) {
    if (name == "classic") {
        model = TrackingModel::Classic;
        return true;
    }
    if (name == "enhanced") {
        model = TrackingModel::Enhanced;
        return true;
    }
    return false;
}

const char* trackingModelName(TrackingModel model) {
    return model == TrackingModel::Classic ? "classic" : "enhanced";
}

bool parseEnhancedStages(const std::string& list, EnhancedStages& stages, std::string& error) {
    EnhancedStages parsed;
    if (list == "none") {
        parsed.level = parsed.offbeat = parsed.downbeat = parsed.subframe = false;
    } else if (!list.empty() && list != "all") {
        std::stringstream items(list);
        for (std::string item; std::getline(items, item, ',');) {
            if (item.size() < 2 || item[0] != '-') {
                error = "'" + item + "': name a stage to switch off with a leading '-'";
                return false;
            }
            const std::string name = item.substr(1);
            if (name == "level") {
                parsed.level = false;
            } else if (name == "offbeat") {
                parsed.offbeat = false;
            } else if (name == "downbeat") {
                parsed.downbeat = false;
            } else if (name == "subframe") {
                parsed.subframe = false;
            } else {
                error = "no stage '" + name + "' (stages: level, offbeat, downbeat, subframe)";
                return false;
            }
        }
    }
    stages = parsed;
    return true;
}

}  // namespace meterTracker
