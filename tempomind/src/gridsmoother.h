// The tracker's beat grid, smoothed. Every analysis step (half a second)
// reports a beat period that is a whole number of accent frames (5.8 ms
// each: 120 BPM reads as 120.19 or 118.8 BPM) and a beat time that jitters by
// a frame or two. The beat times of successive steps lie on one line, beat
// number against time, whose slope is the true period: a least-squares line
// through the recent ones gives a period finer than a frame and a steadier
// phase, so that a grid the tracker has settled on stays put between steps.
//
// A step whose period or beat does not fit the line is held back (the line
// stays); when the next step agrees with it rather than with the line (a
// tempo change, a new phase, another metrical level) the line starts again
// from those two. Bar and tatum follow the smoothed beat: the bar as a whole
// number of beats starting on one of them, the tatum as a whole fraction of
// the beat starting with it.
//
// Plain state of the estimate path; not thread-safe (the ticker serialises).
#ifndef KADENZO_GRIDSMOOTHER_H
#define KADENZO_GRIDSMOOTHER_H

#include "metergrid.h"

// Steps in a row that fitted the line of the steps before them before the
// grid counts as settled (the clock's Start waits for it).
const int GRIDSMOOTHER_SETTLED_STEPS = 4;

struct gridsmoother {
    static const int kCapacity = 16;
    struct Anchor {
        double beat;    // beat number on the line
        double time;    // the tracker's beat time, seconds
        double period;  // the tracker's beat period at that step
    };
    Anchor anchors[kCapacity];
    int count = 0;  // anchors in use, the newest last
    // The line: time = origin + period * beat.
    double origin = 0.0;
    double period = 0.0;
    // A step that did not fit, kept to see whether the next agrees with it.
    bool held = false;
    Anchor held_anchor{};
    int fitting_steps = 0;  // steps in a row that fitted the line
};

void gridsmoother_reset(gridsmoother* smoother);

// One step of the tracker (a valid grid) in, the smoothed grid out. Returns
// whether the grid has settled: the last GRIDSMOOTHER_SETTLED_STEPS steps
// fitted the line, and they and the step before them lie close to it.
bool gridsmoother_update(gridsmoother* smoother, const meter_grid& tracked, meter_grid* smoothed);

#endif
