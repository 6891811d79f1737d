// The clock follower: the tick grid the outputs run on, decided one beat at a
// time by the timer thread from the ticker's estimate.
//
// The estimate moves with every analysis step. Absorbing each move in the
// next beat interval, as a grid rule would, makes a beat up to half a beat
// short or long when the estimate shifts. The follower instead, at each beat
// tick, places the next beat one period of the estimate on, lengthened or
// shortened by the distance of the tick from the estimate's grid, by at most
// FOLLOWER_MAX_CORRECTION of a beat: small corrections are done within one
// beat, large ones are spread over several, and no beat interval departs
// from the tempo by more than that. A performer's step (a tap, a tempo
// factor, a reset) is taken as a whole within the first beat at or after its
// switch time instead.
//
// Bar and tatum run with the beats: every beat interval is one segment over
// which each level's full phase runs linearly, the tatum by its whole number
// of tatums per beat, the bar so that its phase reaches the next whole number
// at the beat that starts the next bar of the estimate (a bar that got
// shorter or longer, or a bar start the performer moved, is taken up
// smoothly by the beats before it). So bar and tatum ticks always fall on
// beats and their subdivisions.
#ifndef KADENZO_CLOCKFOLLOWER_H
#define KADENZO_CLOCKFOLLOWER_H

#include "metergrid.h"

struct meterticker_state;

// The largest correction of one beat interval, as a share of the beat.
const double FOLLOWER_MAX_CORRECTION = 0.15;

// Timer thread only.
struct clockfollower {
    meter_grid followed;    // the estimate in use
    unsigned step = 0;      // the performer's steps taken so far
    unsigned sequence = 0;  // of the estimate the next beat was decided on
    double last_tick = 0.0;  // the beat tick that decision was made at
    bool stepped = false;    // ... and it took a performer's step
};

// Aligns the levels to the estimate once all its periods are known: the
// current beat interval is the one of the estimate's grid that contains the
// time the outputs have reached (ahead: clock plus anti-delay), so that the
// first beat tick is the first grid point after it. False while there is no
// estimate.
bool clockfollower_align(meterticker_state* state, double now, double ahead);

// Tick action of the beat's prediction row: decides the next beat and the
// segment of every level up to it. data: the ticker.
void follow_beat(const double* full_phases, void* data, int argument, double time);
// After each timer pass (t: its time): when a new estimate came since the
// next beat was decided, decides it again from the same tick, so that each
// beat is placed by the newest estimate; the levels' phases go on from
// where they are.
void clockfollower_reaim(meterticker_state* state, double t);

// Tick action of the bar's and tatum's prediction rows: counts the level's
// ticks (their segments come with the beats). data: the level record.
void count_tick(const double* full_phases, void* data, int argument, double time);

#endif
