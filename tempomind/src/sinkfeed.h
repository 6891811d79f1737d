// The sink feed: the ticker's side of the output sinks (outputsink.h). The
// timer thread tells every attached sink, at the exact engine-clock time of
// each, about
// - every beat tick of the clock's grid: its place in the bar, the beats per
//   bar and tempo of the grid the clock follows, whether it starts a bar,
//   whether a clock could start on it, and whether the clock runs;
// - the clock's Start (on the beat it goes out on) and Stop (at the pass
//   that finds the clock switched off, or when the ticker closes);
// - the bar and beat phases, 30 times a second of engine time;
// - the grid the clock follows, whenever an estimate update or a performer's
//   step reaches it.
// Event times are the music's: the outputs' time stamps plus the anti-delay.
#ifndef KADENZO_SINKFEED_H
#define KADENZO_SINKFEED_H

#include <atomic>
#include <cstdint>

#include "outputsink.h"

struct meterticker_state;

enum { SINKFEED_MAX_SINKS = 4 };

// The phase events' rate, per second of engine time.
const double SINKFEED_PHASE_RATE = 30.0;

struct sinkfeed {
    // Attached sinks (not owned); a slot, once filled, stays for the
    // ticker's life.
    std::atomic<output_sink*> sinks[SINKFEED_MAX_SINKS] = {};
    // Timer thread only (or the closing thread once the timer has ended).
    bool running = false;  // the sinks were told the clock started
    int position = -1;     // of the last beat in its bar
    bool grid_posted = false;
    unsigned sequence = 0;  // of the follower's estimate last posted
    unsigned step = 0;
    std::int64_t next_phase = -1;  // the next phase event, in phase periods of engine time
    double anti_delay = 0.0;       // of the pass under way
    sink_clock_sample clocks;
};

// Attaches a sink to the ticker, from any thread; false when every slot is
// taken or the sink is already attached.
bool sinkfeed_attach(meterticker_state* state, output_sink* sink);
// Whether any sink is attached.
bool sinkfeed_active(const meterticker_state* state);

// Timer pass, before the tick actions: reads the clocks that go with the
// pass's engine time (now) and keeps the pass's anti-delay.
void sinkfeed_begin_pass(meterticker_state* state, double now, double anti_delay);
// Tick action of the beat, after the clock's Start row. data: the ticker.
void sinks_at_beat(const double* full_phases, void* data, int argument, double time);
// Timer pass, after the follower has re-aimed (t: the pass's time, clock
// plus anti-delay): Stop, phases and the followed grid.
void sinkfeed_end_pass(meterticker_state* state, double t);
// The ticker closes (its timer thread has ended): a running clock stops.
void sinkfeed_close(meterticker_state* state);

#endif
