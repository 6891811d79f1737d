#include "linksink.h"

#include <time.h>

#include <ableton/Link.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>

#include "common.h"

namespace {

// Link's own limits.
const double kMinBpm = 20.0;
const double kMaxBpm = 999.0;
// Phase steering with peers: the error is taken up over this long, by at
// most this share of the tempo.
const double kSteerHorizonSeconds = 1.0;
const double kLockedTrim = 0.004;
const double kPullInTrim = 0.04;
// Locked below the first phase error, unlocked above the second (seconds).
const double kLockBelow = 0.003;
const double kUnlockAbove = 0.015;
// Lead mode maps the beat at once past this phase error (seconds).
const double kLeadThreshold = 0.010;
// Commits are this far apart at least (seconds of host time).
const double kMinCommitSpacing = 0.2;
// The quantum changes after this many bar starts in a row with a new count.
const int kQuantumBars = 2;
const auto kPollInterval = std::chrono::milliseconds(1);
// The status is brought up to date every this many polls.
const long kStatusLoops = 20;

std::int64_t raw_now_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// x reduced to [-range/2, range/2).
double centred(double x, double range) {
    return x - range * std::floor(x / range + 0.5);
}

}  // namespace

struct link_sink::session {
    ableton::Link link{120.0};
    // Timer side of the mapping, kept by the sink's thread: the engine clock
    // to CLOCK_MONOTONIC_RAW, and that to Link's clock.
    clock_mapping raw;
    double raw_to_link_us = 0.0;
    std::int64_t raw_to_link_checked_us = 0;

    // The newest beat: its time in the music, place in the bar, beats per bar.
    bool have_beat = false;
    double beat_time = 0.0;
    int position = 0;
    int beats_per_bar = 4;
    meter_grid grid;
    bool have_grid = false;

    bool driving = false;
    bool locked = false;
    bool playing = false;
    double quantum = 4.0;
    int quantum_candidate = 0;
    int quantum_votes = 0;
    bool update_due = false;
    double last_commit_us = -1e18;
    double last_force_us = -1e18;
    double phase_error_s = 0.0;
    std::uint64_t commits = 0;
    std::uint64_t forced = 0;

    // Link's clock against CLOCK_MONOTONIC_RAW, read between two raw
    // readings (the same clock on Linux; measured all the same).
    void check_link_clock() {
        const std::int64_t before = raw_now_us();
        const double link_us = static_cast<double>(link.clock().micros().count());
        const std::int64_t after = raw_now_us();
        if (after - before < 200)
            raw_to_link_us = link_us - 0.5 * static_cast<double>(before + after);
        raw_to_link_checked_us = after;
    }

    double host_of(double engine_s) const { return raw.to_other_us(engine_s) + raw_to_link_us; }
    double engine_of(double host_us) const { return raw.to_engine_s(host_us - raw_to_link_us); }

    double beat_period() const {
        if (have_grid && grid.periods[METERLEVEL_BEAT] > 0.0) return grid.periods[METERLEVEL_BEAT];
        return 0.5;
    }

    // The clock's beats at engine time t counted from the start of the
    // newest beat's bar: along the followed grid, numbered from that beat.
    double music_beats(double t) const {
        const double P = beat_period();
        const double anchor =
            have_grid ? grid_point_nearest(beat_time, P, grid.references[METERLEVEL_BEAT])
                      : beat_time;
        return position + (t - anchor) / P;
    }

    void vote_quantum(int count) {
        if (!driving) {
            quantum = count;
            quantum_votes = 0;
            return;
        }
        if (count == static_cast<int>(quantum)) {
            quantum_votes = 0;
            return;
        }
        if (count != quantum_candidate) {
            quantum_candidate = count;
            quantum_votes = 0;
        }
        if (++quantum_votes >= kQuantumBars) {
            quantum = count;
            quantum_votes = 0;
        }
    }

    void on_event(const sink_event& e, bool lead) {
        raw.add(e.clocks.engine_s, e.clocks.raw_us);
        switch (e.kind) {
            case sink_event_kind::beat:
                have_beat = true;
                beat_time = e.time;
                position = e.position;
                beats_per_bar = std::max(1, e.beats_per_bar);
                if (e.starts_bar) vote_quantum(beats_per_bar);
                if (!driving && (e.settled || e.running)) {
                    // The grid has settled: from here on the music leads.
                    driving = true;
                    quantum = beats_per_bar;
                    update_due = true;
                } else if (driving && !e.settled && !e.running) {
                    driving = false;
                    locked = false;
                }
                break;
            case sink_event_kind::estimate:
                grid = e.grid;
                have_grid = meter_grid_valid(e.grid);
                update_due = true;
                break;
            case sink_event_kind::clock_start:
                start_stop(true, e.time);
                break;
            case sink_event_kind::clock_stop:
                start_stop(false, e.time);
                break;
            case sink_event_kind::phase:
                break;
        }
        if (update_due && driving && have_beat && raw.valid()) commit(lead);
    }

    void start_stop(bool on, double time) {
        if (!raw.valid() || !link.isStartStopSyncEnabled()) {
            playing = on;
            return;
        }
        auto state = link.captureAppSessionState();
        const auto at = std::chrono::microseconds(std::llround(host_of(time)));
        state.setIsPlaying(on, at);
        link.commitAppSessionState(state);
        playing = on;
    }

    void commit(bool lead) {
        const double now_us = static_cast<double>(link.clock().micros().count());
        if (now_us - last_commit_us < kMinCommitSpacing * 1e6) return;
        update_due = false;
        last_commit_us = now_us;
        const auto now = std::chrono::microseconds(std::llround(now_us));
        const double P = beat_period();
        const double bpm = std::clamp(60.0 / P, kMinBpm, kMaxBpm);

        auto state = link.captureAppSessionState();
        const double link_beat = state.beatAtTime(now, quantum);
        const double wanted = music_beats(engine_of(now_us));
        // Positive: Link is behind the music.
        double error_beats = centred(wanted - link_beat, quantum);
        const double beat_error = centred(error_beats, 1.0);
        // While the quantum waits for a new meter to hold, only the beat counts.
        if (static_cast<int>(quantum) != beats_per_bar) error_beats = beat_error;
        phase_error_s = beat_error * P;
        const bool whole_beats_off = std::fabs(error_beats - beat_error) > 0.5;

        const bool alone = link.numPeers() == 0;
        const bool may_force = lead && now_us - last_force_us >= beats_per_bar * P * 1e6;
        if (alone ||
            (may_force && (std::fabs(phase_error_s) > kLeadThreshold || whole_beats_off))) {
            // Alone the beat may go where the music is; in lead mode it is
            // the session's clock.
            state.setTempo(bpm, now);
            if (alone) {
                state.requestBeatAtTime(link_beat + error_beats, now, quantum);
            } else {
                state.forceBeatAtTime(link_beat + error_beats, now, quantum);
                last_force_us = now_us;
                ++forced;
            }
            locked = true;
        } else {
            if (std::fabs(phase_error_s) < kLockBelow) locked = true;
            if (std::fabs(phase_error_s) > kUnlockAbove) locked = false;
            const double limit = locked ? kLockedTrim : kPullInTrim;
            const double trim = std::clamp(phase_error_s / kSteerHorizonSeconds, -limit, limit);
            state.setTempo(std::clamp(bpm * (1.0 + trim), kMinBpm, kMaxBpm), now);
        }
        link.commitAppSessionState(state);
        ++commits;
    }
};

link_sink::link_sink() : session_(std::make_unique<session>()) {
    session_->link.enableStartStopSync(true);
    thread_ = std::thread([this] { run(); });
}

link_sink::~link_sink() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    session_->link.enable(false);
}

void link_sink::enable(bool on) {
    session_->link.enable(on);
    std::lock_guard<std::mutex> hold(status_lock_);
    status_.enabled = on;
}

void link_sink::set_lead(bool on) {
    lead_.store(on);
    std::lock_guard<std::mutex> hold(status_lock_);
    status_.lead = on;
}

link_sink_status link_sink::status() const {
    std::lock_guard<std::mutex> hold(status_lock_);
    link_sink_status s = status_;
    s.dropped = queue_.dropped();
    return s;
}

void link_sink::post(const sink_event& event) {
    queue_.push(event);
}

void link_sink::run() {
    session& s = *session_;
    long loops = 0;
    try {
        s.check_link_clock();
        for (;;) {
            // The last events (a Stop) still reach the session when the sink closes.
            const bool stopping = stop_.load();
            const bool enabled = s.link.isEnabled();
            sink_event event;
            while (queue_.pop(&event)) {
                if (enabled) {
                    s.on_event(event, lead_.load());
                } else {
                    s.raw.add(event.clocks.engine_s, event.clocks.raw_us);
                }
            }
            if (raw_now_us() - s.raw_to_link_checked_us > 1000000) s.check_link_clock();
            if (++loops % kStatusLoops == 0) {
                std::lock_guard<std::mutex> hold(status_lock_);
                status_.peers = static_cast<int>(s.link.numPeers());
                status_.session_bpm = s.link.captureAppSessionState().tempo();
                status_.quantum = s.quantum;
                status_.driving = enabled && s.driving;
                status_.locked = s.locked;
                status_.phase_error_ms = s.phase_error_s * 1000.0;
                status_.commits = s.commits;
                status_.forced = s.forced;
            }
            if (stopping) break;
            std::this_thread::sleep_for(kPollInterval);
        }
    } catch (const std::exception& e) {
        tm_logmsg(3, "Link: the sink's thread failed: %s", e.what());
    } catch (...) {
        tm_logmsg(3, "Link: the sink's thread failed");
    }
}
