// The enhanced tracking model: the classic tracker's estimate of every
// analysis step, refined by the stages of trackingModel.h, each a module of
// its own. The classic tracker keeps running underneath unchanged (its
// resonators, period and phase models); this model only decides what the
// step reports.
#ifndef METERTRACKER_ENHANCEDMODEL_H
#define METERTRACKER_ENHANCEDMODEL_H

#include "Matrix.h"
#include "accentHistory.h"
#include "metricalLevel.h"
#include "offbeatTest.h"
#include "params.h"
#include "periodModel.h"
#include "phaseModel.h"
#include "trackingModel.h"

namespace meterTracker {

// What a step reports: periods (s) and phase times (s, accent clock).
struct StepEstimate {
    double beatPeriod, beatPhase;
    double barPeriod, barPhase;
    double tatumPeriod, tatumPhase;
};

class EnhancedModel {
  public:
    EnhancedModel(const Params& params, const EnhancedStages& stages);

    void reset();
    // The step whose last frame is lastFrame, given the classic model's
    // choices for it; history holds the step's frames, which are also the
    // band envelopes' columns firstColumn .. firstColumn + frames - 1.
    StepEstimate step(const AccentHistory& history, const NumaMathLibrary::Matrix<double>& envelopes,
                      unsigned firstColumn, unsigned frames, unsigned lastFrame,
                      const PeriodChoice& periods, const PhaseChoice& phases);

    const EnhancedStages& stages() const { return stages_; }
    const OffbeatTest& offbeatTest() const { return offbeat_; }
    const MetricalLevel& metricalLevel() const { return level_; }

  private:
    EnhancedStages stages_;
    MetricalLevel level_;
    OffbeatTest offbeat_;
};

}  // namespace meterTracker

#endif
