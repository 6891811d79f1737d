#include "enhancedModel.h"

namespace meterTracker {

EnhancedModel::EnhancedModel(const Params& params, const EnhancedStages& stages)
    : stages_(stages), offbeat_(params.accentRate) {
    level_.configure(params);
}

void EnhancedModel::reset() {
    level_.reset();
    offbeat_.reset();
}

StepEstimate EnhancedModel::step(const AccentHistory& history,
                                 const NumaMathLibrary::Matrix<double>& envelopes,
                                 unsigned firstColumn, unsigned frames, unsigned lastFrame,
                                 const PeriodChoice& periods, const PhaseChoice& phases) {
    StepEstimate e{periods.beat, phases.beat, periods.bar, phases.bar, periods.tatum, phases.tatum};
    if (stages_.level) {
        const LevelChoice level = level_.step(periods, phases, envelopes, firstColumn, frames, lastFrame);
        e.beatPeriod = level.beatPeriod;
        e.beatPhase = e.tatumPhase = level.beatPhase;
        e.tatumPeriod = level.tatumPeriod;
        e.barPeriod = level.barPeriod;
    }
    if (stages_.offbeat) {
        const double beatPhase = offbeat_.decide(history, lastFrame, e.beatPeriod, e.beatPhase);
        if (beatPhase != e.beatPhase) {
            // The whole metrical grid moves with the beat: bars start on beats.
            const double shift = beatPhase - e.beatPhase;
            e.beatPhase = beatPhase;
            e.tatumPhase += shift;
            e.barPhase += shift;
        }
    }
    return e;
}

}  // namespace meterTracker
