#include "enhancedModel.h"

namespace meterTracker {

EnhancedModel::EnhancedModel(const Params& params, const EnhancedStages& stages)
    : stages_(stages),
      fs_(params.accentRate),
      offbeat_(params.accentRate),
      downbeat_(static_cast<unsigned>(params.sampleRate)) {
    level_.configure(params);
}

void EnhancedModel::reset() {
    level_.reset();
    offbeat_.reset();
    downbeat_.reset();
    beats_.reset();
    beatsFed_ = 0;
}

void EnhancedModel::addAudio(const double* samples, unsigned count) {
    if (stages_.downbeat) downbeat_.addAudio(samples, count);
}

void EnhancedModel::placeBars(StepEstimate& e) {
    beats_.add(e.beatPeriod, e.beatPhase);
    beats_.dropBefore(e.beatPhase - 30.0);  // the bar stage takes beats a few seconds late at most
    const std::vector<double>& pulses = beats_.pulses();
    const std::size_t total = beats_.dropped() + pulses.size();
    if (beatsFed_ < beats_.dropped()) beatsFed_ = beats_.dropped();
    for (; beatsFed_ < total; ++beatsFed_) {
        const double t = pulses[beatsFed_ - beats_.dropped()];
        if (t >= 0.0) downbeat_.addBeat(t);  // refused when out of order
    }
    // The decisions are read through barReference(); none are kept here.
    for (BeatPosition decision; downbeat_.nextDecision(decision);) {
    }
    const BarReference bars = downbeat_.barReference();
    if (bars.barStart < 0.0 || bars.beatsPerBar < 1) return;
    e.barPeriod = bars.beatsPerBar * e.beatPeriod;
    e.barPhase = bars.barStart;
}

StepEstimate EnhancedModel::step(const AccentHistory& history,
                                 const NumaMathLibrary::Matrix<double>& envelopes,
                                 unsigned firstColumn, unsigned frames, unsigned lastFrame,
                                 const PeriodModel& periodModel, const PeriodChoice& classicPeriods,
                                 const PhaseModel& phaseModel, const PhaseChoice& classicPhases) {
    PeriodChoice periods = classicPeriods;
    PhaseChoice phases = classicPhases;
    if (stages_.subframe) refineStep(periodModel, phaseModel, lastFrame, fs_, periods, phases);
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
    if (stages_.downbeat) {
        // The classic model's bar start is one more piece of evidence.
        downbeat_.addBarCue(e.barPhase);
        placeBars(e);
    }
    return e;
}

}  // namespace meterTracker
