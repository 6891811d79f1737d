// Tick timing: the meter ticker's timer turns the ticker's estimate (period
// and phase reference per level) into real-time events.
//
// For each of bar, beat and tatum it keeps the current segment (one beat
// interval, placed by the clock follower, clockfollower.h), computes the
// levels' full phases from the engine clock (plus the anti-delay and the MIDI
// backend's lead, midioutput_get_lead) every millisecond, or up to every
// 10 ms with a backend that writes each message at its time stamp, and runs the tick-action table and the phase callbacks
// whenever a scaled phase crosses an integer. A crossing is noticed up to a
// pass late, but each action is told when it happened: the pass inverts the
// level's phase over its segment, so that every output carries the exact
// time it belongs to. The live engine runs this on its own thread; offline
// rendering and tests drive the same steps on a virtual clock.
#ifndef KADENZO_PREDICTION_H
#define KADENZO_PREDICTION_H

#include "meterticker.h"

// Timer thread body: waits for the first complete estimate, aligns the
// first ticks to the tracker's grid, then runs passes paced by
// meterticker_pass_interval_ms until the stop request. Never throws.
void meterticker_timer_thread(meterticker_state* state);

// Milliseconds from one pass to the next: 1 when messages go out as their
// pass sees them; with a backend that writes each message at its time stamp
// (a lead), up to 10, at most half a MIDI Clock interval, since a pass
// sends one Clock at most, and while phase controllers are on, at most one
// of their steps.
int meterticker_pass_interval_ms(const meterticker_state* state);

// Aligns the levels to the first estimate once all its periods are known
// (clockfollower_align). Returns whether the ticker is aligned (now or
// before).
bool meterticker_timer_align(meterticker_state* state);
bool meterticker_timer_aligned(const meterticker_state* state);

// One pass of the timer loop (no sleeping). Does nothing before alignment.
void meterticker_timer_pass(meterticker_state* state);

#endif
