// The enhanced tracking model: the classic tracker's estimate of every
// analysis step, refined by the stages of trackingModel.h, each a module of
// its own. The classic tracker keeps running underneath unchanged (its
// resonators, period and phase models); this model only decides what the
// step reports.
#ifndef METERTRACKER_ENHANCEDMODEL_H
#define METERTRACKER_ENHANCEDMODEL_H

#include "Matrix.h"
#include "accentHistory.h"
#include "downbeatTracker.h"
#include "metricalLevel.h"
#include "offbeatTest.h"
#include "params.h"
#include "periodModel.h"
#include "phaseModel.h"
#include "pulseTrain.h"
#include "subframe.h"
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
    // The tracker's audio, as it arrives (the bar stage's own analysis).
    void addAudio(const double* samples, unsigned count);
    // The step whose last frame is lastFrame, given the classic model's
    // choices for it (and its period and phase stages as they are after it);
    // history holds the step's frames, which are also the band envelopes'
    // columns firstColumn .. firstColumn + frames - 1.
    StepEstimate step(const AccentHistory& history,
                      const NumaMathLibrary::Matrix<double>& envelopes, unsigned firstColumn,
                      unsigned frames, unsigned lastFrame, const PeriodModel& periodModel,
                      const PeriodChoice& periods, const PhaseModel& phaseModel,
                      const PhaseChoice& phases);

    const EnhancedStages& stages() const { return stages_; }
    const OffbeatTest& offbeatTest() const { return offbeat_; }
    const MetricalLevel& metricalLevel() const { return level_; }

  private:
    // Hands the bar stage the beats the step's grid adds (the beats the
    // tracker reports, built the same way) and takes its bar start.
    void placeBars(StepEstimate& e);

    EnhancedStages stages_;
    double fs_;  // accent rate
    MetricalLevel level_;
    OffbeatTest offbeat_;
    DownbeatTracker downbeat_;
    PulseTrain beats_;        // the beat pulses of the steps so far
    std::size_t beatsFed_ = 0;  // of those, handed to the bar stage
};

}  // namespace meterTracker

#endif
