// Tick timing: the meter ticker's timer turns the tracker's latest estimates
// (period and phase reference per level) into real-time events.
//
// For each of bar, beat and tatum it keeps the tick just passed and a
// predicted next tick, computes the levels' full phases from the engine
// clock (plus the anti-delay) about once per millisecond, and runs the
// tick-action table and the phase callbacks whenever a scaled phase crosses
// an integer. The live engine runs this on its own thread; offline rendering
// and tests drive the same steps on a virtual clock.
#ifndef KADENZO_PREDICTION_H
#define KADENZO_PREDICTION_H

#include "meterticker.h"

// Timer thread body: waits for the first complete estimate, aligns the
// first ticks to the tracker's grid, then runs one pass per millisecond
// until the stop request. Never throws.
void meterticker_timer_thread(meterticker_state* state);

// Aligns the first next ticks once all three periods are known: for each
// level the first point of the tracker's grid after the current time.
// Returns whether the ticker is aligned (now or before).
bool meterticker_timer_align(meterticker_state* state);
bool meterticker_timer_aligned(const meterticker_state* state);

// One pass of the timer loop (no sleeping). Does nothing before alignment.
void meterticker_timer_pass(meterticker_state* state);

// Tick action of the three prediction rows: moves the level to its next
// interval, ending at the point of the tracker's grid nearest to one period
// after the tick just reached.
void update_next_tick(const double* full_phases, void* level, int argument, double time);

#endif
