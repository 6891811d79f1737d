// Periods and phases finer than an accent frame, for the enhanced model. The
// period model picks each period among its resonators' lags and the phase
// model each beat among the positions of a delay line, whole accent frames
// (5.8 ms: 120 BPM reads as 120.19 or 118.8 BPM, and beats fall on frames).
// Both curves fall off smoothly over several frames on either side of the
// music's period or beat, so the peak of a Gaussian through the chosen
// sample and its two neighbours (a parabola through their logarithms) lies
// between the frames, where the music's period or beat is.
#ifndef METERTRACKER_SUBFRAME_H
#define METERTRACKER_SUBFRAME_H

#include <vector>

#include "periodModel.h"
#include "phaseModel.h"

namespace meterTracker {

// Offset, in samples, of the peak of a Gaussian through three equally spaced
// values from the middle one: in [-0.5, 0.5]; 0 unless all three are
// positive and the middle one is the largest.
double peakOffset(double before, double middle, double after);

// period (seconds), one of lagPeriods (uniformly spaced, increasing), moved
// to the peak of salience (one value per lag) around it; unchanged where it
// is none of the lags or lies at an end.
double refineLagPeriod(const std::vector<double>& salience, const std::vector<double>& lagPeriods,
                       double period);

// phase (seconds on the accent clock at rate fs), the time of one of the
// positions of scores (one per position of a delay line that ends at
// lastFrame, see linePositionTime), moved to the peak of the scores around
// it; the line covers one period, so its ends are neighbours. Any other
// phase is returned as it is.
double refinePhase(const std::vector<double>& scores, unsigned lastFrame, double fs, double phase);

// The step's beat and bar periods refined on their salience over lags (the
// tatum, read off a coarse spectrum, as it is), and its beat (and with it
// the tatum) on the beat's position scores.
void refineStep(const PeriodModel& periodModel, const PhaseModel& phaseModel, unsigned lastFrame,
                double fs, PeriodChoice& periods, PhaseChoice& phases);

}  // namespace meterTracker

#endif
