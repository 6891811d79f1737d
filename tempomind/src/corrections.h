// Performer corrections: what the performer tells the engine when the
// tracker is wrong (the off-beat, half the tempo, the wrong bar start, a
// break), applied between the tracker's grid and the grid the clock follows.
// The tracker keeps following the music underneath; the corrections persist
// on top of it until reset:
//
// - Tap: two or more taps set the beat to the tapped grid. From then on the
//   clock follows the tracker at the tapped level and phase when the
//   tracker's beat is a simple ratio (1, 2, 1/2, 3/2, 2/3, 3, 1/3) of the
//   tapped one, the relation kept however the tracker's beat changes level
//   or flips to its off-beat, and when the music steps to another tempo;
//   otherwise the tapped grid runs on and the tracker's tempo preference is
//   re-centred on the tapped tempo, until the tracker comes round. A tap more than 40 % of a beat off the running tap
//   grid, or after 2 s without taps, starts a new tap sequence.
// - Tempo factor: x2, /2, x3/2, x2/3 of the clock's tempo from its next beat
//   on; factors multiply.
// - Nudge: the whole grid earlier or later by a time.
// - Bar 1: the beat nearest the press starts a bar, kept relative to the
//   tracker's bars.
// - Hold: the tracker's grid is frozen (the clock free-runs) until release.
// - Reset: forgets every correction.
//
// One object per ticker: corrections_new, corrections_apply for every grid
// of the tracker, the command functions, corrections_free. Nothing after
// corrections_new allocates. Not thread-safe: the ticker serialises calls.
// Times are seconds on the engine clock.
#ifndef KADENZO_CORRECTIONS_H
#define KADENZO_CORRECTIONS_H

#include "metergrid.h"

struct corrections;

// Null when out of memory.
corrections* corrections_new();
// Null is ignored.
void corrections_free(corrections* c);

// The tracker's newest grid (valid) in, the corrected grid out.
void corrections_apply(corrections* c, const meter_grid& tracked, meter_grid* corrected);
// The corrected grid as it stands after a command; false when there is none
// yet (no grid from the tracker and no tapped grid).
bool corrections_output(const corrections* c, meter_grid* corrected);

// How a command reaches the clock.
struct corrections_change {
    bool changed = false;  // the corrected grid is another
    // The performer's step: the clock takes the new grid as a whole, spread
    // over the first beat it starts at switch_at or later, instead of
    // gliding towards it as it follows the tracker.
    bool step = false;
    double switch_at = 0.0;
};

// Each command at the engine-clock time of the press. ahead is the time the
// clock's output has reached (the press plus the anti-delay): a tempo factor
// starts at the first beat of the clock after it.
corrections_change corrections_tap(corrections* c, double at);
// Multiplies the tempo by numerator / denominator (positive).
corrections_change corrections_tempo_factor(corrections* c, int numerator, int denominator,
                                            double ahead);
// Positive seconds: later.
corrections_change corrections_nudge(corrections* c, double seconds, double at);
corrections_change corrections_bar_one(corrections* c, double at);
corrections_change corrections_hold(corrections* c, bool on, double at);
corrections_change corrections_reset(corrections* c, double at);

// A change of the tracker's tempo preference that the corrections ask for,
// once: true with the beat period (seconds) to centre the preference on, or
// 0 to go back to the preference the application chose.
bool corrections_take_preference(corrections* c, double* beat_period);

struct corrections_status {
    bool tapped = false;          // a tapped grid is in force
    bool tap_followed = false;    // ... and the tracker is followed at a simple ratio of it
    int taps = 0;                 // taps in the running sequence
    int factor_numerator = 1;     // the tempo factor in force
    int factor_denominator = 1;
    double nudge_seconds = 0.0;
    bool bar_one = false;         // a bar start was set
    bool holding = false;
};
corrections_status corrections_get_status(const corrections* c);

// The corrections in force as a short text for a status line, for example
// "tap, x2, nudge +10 ms, bar 1, hold"; empty when none. Returns the length
// the whole text needs, as snprintf does.
int corrections_describe(const corrections* c, char* text, int size);

#endif
