// Ableton Link output: Kadenzo joins (or starts) a Link session and drives
// its tempo and beat phase from the clock's grid, with the quantum set to the
// beats per bar, so that beat 0 of each quantum is the music's bar start.
//
// - Nothing is pushed before the grid has settled (the rule a MIDI clock's
//   Start waits for): joining a session never changes its tempo on the
//   tracker's first guesses. From then on the sink drives the session while
//   the clock runs or the grid stays settled.
// - Once per update of the followed grid (about twice a second, and at a
//   performer's step) the sink commits the grid's tempo from the present
//   moment on. Alone in the session it also maps the beat to the music at
//   once. With peers it steers the phase by the tempo instead: a phase error
//   of e seconds is taken up over about a second, by at most 0.4 % of the
//   tempo once locked (4 % while pulling in, like a DJ nudging a record);
//   the session's phase never jumps under the peers' feet.
// - In lead mode (the user's explicit choice) a phase error of more than
//   10 ms (or a bar start off by whole beats) is mapped at once with Link's
//   forceBeatAtTime, at most once a bar: for a band that is the session's
//   clock.
// - The quantum follows the beats per bar with hysteresis: a new count must
//   hold for two bar starts in a row.
// - Start/stop sync follows the clock's Start and Stop.
// - Peers' tempo changes never reach the engine: the music steers Kadenzo,
//   and the next update brings the session back to the music.
//
// Times: every beat goes to Link as the host time (link.clock(), which is
// CLOCK_MONOTONIC_RAW on Linux) at which it sounds in the music; peers add
// their own output latency. The engine clock is mapped to the host clock from
// the pairs of readings the sink events carry (outputsink.h).
//
// The session state is captured and committed on the sink's own thread with
// Link's application-side calls (thread-safe, may block), never per beat.
#ifndef KADENZO_LINKSINK_H
#define KADENZO_LINKSINK_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "outputsink.h"

struct link_sink_status {
    bool enabled = false;
    bool lead = false;
    int peers = 0;
    double session_bpm = 0.0;  // the session's tempo as Link reports it
    double quantum = 4.0;
    bool driving = false;         // the sink is steering the session
    bool locked = false;          // its phase error is small
    double phase_error_ms = 0.0;  // at the last commit: positive when Link is behind the music
    std::uint64_t commits = 0;
    std::uint64_t forced = 0;   // lead mode's phase jumps
    std::uint64_t dropped = 0;  // events lost to a full queue
};

class link_sink : public output_sink {
  public:
    // Disabled at first: Link joins nothing until enable.
    link_sink();
    ~link_sink() override;
    link_sink(const link_sink&) = delete;
    link_sink& operator=(const link_sink&) = delete;

    // Joins or starts a session (on) or leaves it (off). From any thread
    // but the timer's; not realtime-safe.
    void enable(bool on);
    void set_lead(bool on);
    link_sink_status status() const;

    void post(const sink_event& event) override;

  private:
    struct session;
    void run();

    std::unique_ptr<session> session_;
    sink_queue queue_;
    std::atomic<bool> lead_{false};
    std::atomic<bool> stop_{false};
    mutable std::mutex status_lock_;
    link_sink_status status_;
    std::thread thread_;
};

#endif
