#include "corrections.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// Taps: a new sequence after this long without one, or a tap further than
// this share of a beat from the running tap grid; taps closer together than
// kShortestTap are bounces of the same press.
const double kTapTimeout = 2.0;
const double kTapDeviation = 0.4;
const double kShortestTap = 0.15;
const int kTapsKept = 8;
// The ratios of the tracker's beat to the tapped one that the clock follows
// through, and how close the periods must be to one of them.
const double kSimpleRatios[] = {1.0, 2.0, 0.5, 1.5, 2.0 / 3.0, 3.0, 1.0 / 3.0};
const double kRatioTolerance = 0.06;
// The tracker's beat changing level from one grid to the next: the same
// ratios, a little tighter.
const double kFlipTolerance = 0.04;
// A tapped phase within this share of the finer beat of a tracker beat or
// off-beat is taken to be on it, but never further than a careful tap is
// off: a tracker that sits a tenth of a slow beat away from the taps is on
// some other point of the bar, and the taps are right.
const double kPhaseSnap = 0.15;
const double kPhaseSnapSeconds = 0.04;
// A tempo factor starts at the first beat at least this share of a beat
// after the clock's present: the beat due sooner may already be on its way.
const double kFactorMargin = 0.1;

double wrap(double x, double period) {
    return x - period * std::round(x / period);
}

// The simple ratio nearest r within the tolerance, or 0.
double simple_ratio(double r, double tolerance) {
    for (double q : kSimpleRatios) {
        if (std::fabs(r / q - 1.0) <= tolerance) return q;
    }
    return 0.0;
}

enum class BeatSource {
    kTracker,  // the tracker's beat as it is
    kFollow,   // the tracker's beat at a level and phase of the performer's
    kTapped,   // the tapped grid, running on its own
};

}  // namespace

struct corrections {
    // The tracker's newest grid, and the one frozen while holding.
    meter_grid tracked;
    bool have_tracked = false;
    meter_grid frozen;
    bool holding = false;

    BeatSource source = BeatSource::kTracker;
    // kFollow: the clock's beat period is level times the tracker's; its
    // phase is the one of the tracker's beats and off-beats (shifted by
    // phase_offset tracker beats) nearest to the clock's grid before.
    double level = 1.0;
    double phase_offset = 0.0;
    double memory_period = 0.0;
    double memory_reference = 0.0;
    double source_period = 0.0;  // the beat period of the grid of the last output
    // Whether the clock was on the tracker's beats (0) or off-beats (1) at
    // the last output, when its beat is a whole number of tracker beats.
    // Across a step of the music's tempo the clock's grid before (at the old
    // tempo) says little about the phase: the clock keeps this relation
    // then, and its grid before only picks among the tracker's beats.
    int off_beat = 0;
    bool off_beat_known = false;
    bool tempo_step = false;  // the tracker's beat changed tempo, not level

    // The running tap sequence and the grid fitted to it (kTapped, and the
    // grid a relation starts from).
    double tap_times[kTapsKept] = {};
    double tap_beats[kTapsKept] = {};
    int tap_count = 0;
    bool tapped = false;
    double tap_period = 0.0;
    double tap_reference = 0.0;

    int factor_numerator = 1;
    int factor_denominator = 1;
    double nudge = 0.0;
    int bar_offset = 0;  // beats of the clock from the tracker's bar start
    bool bar_set = false;

    bool preference_pending = false;
    double preference_beat = 0.0;
    bool preference_moved = false;
};

namespace {

const meter_grid& source_grid(const corrections* c) {
    return c->holding ? c->frozen : c->tracked;
}

// The clock's beat (period, reference) from the tracker's beat and the state.
void corrected_beat(const corrections* c, const meter_grid& src, double* period,
                    double* reference) {
    const double P = src.periods[METERLEVEL_BEAT];
    const double R = src.references[METERLEVEL_BEAT];
    switch (c->source) {
        case BeatSource::kTracker:
            *period = P;
            *reference = R;
            return;
        case BeatSource::kTapped:
            *period = c->tap_period;
            *reference = c->tap_reference;
            return;
        case BeatSource::kFollow:
            break;
    }
    const double Pc = c->level * P;
    // The clock's previous grid near the tracker's beat, and the tracker's
    // beat or off-beat nearest to it.
    const double anchor = grid_point_nearest(R, c->memory_period, c->memory_reference);
    const double base = R + c->phase_offset * P - anchor;
    const int candidates = static_cast<int>(std::ceil(2.0 * Pc / P)) + 1;
    double best = wrap(base, Pc);
    const bool keep_relation = c->tempo_step && c->off_beat_known;
    if (keep_relation) best = wrap(base + 0.5 * c->off_beat * P, Pc);
    for (int k = 1; k < candidates; ++k) {
        if (keep_relation && (k - c->off_beat) % 2 != 0) continue;
        const double d = wrap(base + 0.5 * k * P, Pc);
        if (std::fabs(d) < std::fabs(best)) best = d;
    }
    *period = Pc;
    *reference = anchor + best;
}

// The whole corrected grid around a corrected beat.
void build_grid(const corrections* c, const meter_grid* src, double beat_period,
                double beat_reference, meter_grid* out) {
    double beats_per_bar = 4.0, tatums_per_beat = 2.0;
    double bar_reference = beat_reference;
    if (src) {
        const double P = src->periods[METERLEVEL_BEAT];
        const double tracker_beats = std::max(1.0, std::round(src->periods[METERLEVEL_BAR] / P));
        beats_per_bar = std::max(1.0, std::round(tracker_beats * P / beat_period));
        tatums_per_beat = std::max(1.0, std::round(P / src->periods[METERLEVEL_TATUM]));
        bar_reference =
            grid_point_nearest(src->references[METERLEVEL_BAR], beat_period, beat_reference);
    }
    const int bar_beats = static_cast<int>(beats_per_bar);
    bar_reference += static_cast<double>(c->bar_offset % bar_beats) * beat_period;
    out->periods[METERLEVEL_BEAT] = beat_period;
    out->references[METERLEVEL_BEAT] = beat_reference + c->nudge;
    out->periods[METERLEVEL_BAR] = beats_per_bar * beat_period;
    out->references[METERLEVEL_BAR] = bar_reference + c->nudge;
    out->periods[METERLEVEL_TATUM] = beat_period / tatums_per_beat;
    out->references[METERLEVEL_TATUM] = beat_reference + c->nudge;
}

bool output(const corrections* c, meter_grid* out) {
    const bool have_source = c->have_tracked;
    if (!have_source && c->source != BeatSource::kTapped) return false;
    double period = 0.0, reference = 0.0;
    if (have_source) {
        corrected_beat(c, source_grid(c), &period, &reference);
    } else {
        period = c->tap_period;
        reference = c->tap_reference;
    }
    build_grid(c, have_source ? &source_grid(c) : nullptr, period, reference, out);
    return true;
}

// A tapped grid in relation with the tracker's beat: at a simple ratio of
// periods, and (snapped) on its beats or off-beats.
void try_follow(corrections* c) {
    if (c->source != BeatSource::kTapped || !c->have_tracked) return;
    const meter_grid& src = source_grid(c);
    const double P = src.periods[METERLEVEL_BEAT];
    const double R = src.references[METERLEVEL_BEAT];
    const double q = simple_ratio(P / c->tap_period, kRatioTolerance);
    if (q == 0.0) return;
    const double level = 1.0 / q;
    const double Pc = level * P;
    // Distance from the tracker's beats and off-beats to the tapped grid.
    const double anchor = grid_point_nearest(R, c->tap_period, c->tap_reference);
    const int candidates = static_cast<int>(std::ceil(2.0 * Pc / P)) + 1;
    double best = wrap(R - anchor, Pc);
    for (int k = 1; k < candidates; ++k) {
        const double d = wrap(R + 0.5 * k * P - anchor, Pc);
        if (std::fabs(d) < std::fabs(best)) best = d;
    }
    const double finer = std::min(P, Pc);
    double offset = 0.0;
    if (std::fabs(best) > std::min(kPhaseSnap * finer, kPhaseSnapSeconds)) {
        // Not on a beat or an off-beat: the tapped phase, kept as it is.
        offset = -best / P;
        offset -= 0.5 * std::floor(offset / 0.5);
    }
    c->source = BeatSource::kFollow;
    c->level = level;
    c->phase_offset = offset;
    c->off_beat_known = false;
    c->tempo_step = false;
    c->memory_period = c->tap_period;
    c->memory_reference = c->tap_reference;
}

void request_preference(corrections* c, double beat_period) {
    c->preference_pending = true;
    c->preference_beat = beat_period;
    c->preference_moved = beat_period > 0.0;
}

// The tap grid: least squares over the sequence, beat numbers against times.
void fit_taps(corrections* c) {
    const int n = c->tap_count;
    double mean_beat = 0.0, mean_time = 0.0;
    for (int i = 0; i < n; ++i) {
        mean_beat += c->tap_beats[i];
        mean_time += c->tap_times[i];
    }
    mean_beat /= n;
    mean_time /= n;
    double spread = 0.0, covariance = 0.0;
    for (int i = 0; i < n; ++i) {
        const double db = c->tap_beats[i] - mean_beat;
        spread += db * db;
        covariance += db * (c->tap_times[i] - mean_time);
    }
    c->tap_period = covariance / spread;
    c->tap_reference = mean_time + c->tap_period * (c->tap_beats[n - 1] - mean_beat);
}

corrections_change stepped(double at) {
    corrections_change change;
    change.changed = true;
    change.step = true;
    change.switch_at = at;
    return change;
}

int greatest_common_divisor(int a, int b) {
    return b == 0 ? std::abs(a) : greatest_common_divisor(b, a % b);
}

// The tracker's beat changing level from one grid to the next (twice as
// fast, half as fast, ...): a clock that follows at a level of the
// performer's keeps its tempo. Compared on the grid the output comes from
// (the frozen one while holding).
void keep_level(corrections* c) {
    const double P = source_grid(c).periods[METERLEVEL_BEAT];
    c->tempo_step = false;
    if (c->source == BeatSource::kFollow && c->source_period > 0.0) {
        const double q = simple_ratio(P / c->source_period, kFlipTolerance);
        if (q != 0.0 && q != 1.0) c->level /= q;
        c->tempo_step = q == 0.0;
    }
    c->source_period = P;
}

// After an output from a new grid: the clock's grid (without the nudge) is
// the memory the next one keeps its phase to.
void remember(corrections* c, const meter_grid& corrected) {
    if (c->source != BeatSource::kFollow) return;
    c->memory_period = corrected.periods[METERLEVEL_BEAT];
    c->memory_reference = corrected.references[METERLEVEL_BEAT] - c->nudge;
    const meter_grid& src = source_grid(c);
    const double P = src.periods[METERLEVEL_BEAT];
    const double beats = c->memory_period / P;
    c->off_beat_known = beats > 0.5 && std::fabs(beats - std::round(beats)) < 0.025;
    if (!c->off_beat_known) return;
    const double from = c->memory_reference - src.references[METERLEVEL_BEAT] - c->phase_offset * P;
    c->off_beat = static_cast<int>(std::lround(2.0 * from / P) & 1L);
}

// The tracker's bar start jumping by whole beats from one grid to the next
// (the same beats and meter, its downbeat guess changed): the bar start the
// performer set stays on its beat. Only while the clock's beat is the
// tracker's, and not while holding (the output comes from the frozen grid).
void keep_bars(corrections* c, const meter_grid& before, const meter_grid& now) {
    if (!c->bar_set || c->holding) return;
    const bool same_beat =
        c->source == BeatSource::kTracker || (c->source == BeatSource::kFollow && c->level == 1.0);
    if (!same_beat) return;
    const double P = now.periods[METERLEVEL_BEAT];
    const double beats_now = now.periods[METERLEVEL_BAR] / P;
    const double beats_before = before.periods[METERLEVEL_BAR] / before.periods[METERLEVEL_BEAT];
    const long bar_beats = std::lround(beats_now);
    if (bar_beats < 2 || std::lround(beats_before) != bar_beats) return;
    if (simple_ratio(P / before.periods[METERLEVEL_BEAT], kFlipTolerance) != 1.0) return;
    // Where the bar start before lands now, in beats from the new one.
    const double expected =
        grid_point_nearest(now.references[METERLEVEL_BAR], before.periods[METERLEVEL_BAR],
                           before.references[METERLEVEL_BAR]);
    const double moved = (now.references[METERLEVEL_BAR] - expected) / P;
    const long beats = std::lround(moved);
    if (beats == 0 || std::fabs(moved - static_cast<double>(beats)) > 0.25) return;
    c->bar_offset = static_cast<int>(((c->bar_offset - beats) % bar_beats + bar_beats) % bar_beats);
}

}  // namespace

corrections* corrections_new() {
    return new (std::nothrow) corrections;
}

void corrections_free(corrections* c) {
    delete c;
}

void corrections_apply(corrections* c, const meter_grid& tracked, meter_grid* corrected) {
    if (c->have_tracked) keep_bars(c, c->tracked, tracked);
    c->tracked = tracked;
    c->have_tracked = true;
    keep_level(c);
    try_follow(c);
    output(c, corrected);
    remember(c, *corrected);
}

bool corrections_output(const corrections* c, meter_grid* corrected) {
    return output(c, corrected);
}

corrections_change corrections_tap(corrections* c, double at) {
    bool fresh = c->tap_count == 0;
    double beat = 0.0;
    if (!fresh) {
        const double last = c->tap_times[c->tap_count - 1];
        const double gap = at - last;
        if (!(gap >= kShortestTap) || gap > kTapTimeout) {
            fresh = true;
        } else if (c->tap_count == 1) {
            beat = c->tap_beats[0] + 1.0;
        } else {
            const double beats = std::round((at - c->tap_reference) / c->tap_period);
            const double off = at - (c->tap_reference + beats * c->tap_period);
            if (beats < 1.0 || std::fabs(off) > kTapDeviation * c->tap_period) {
                fresh = true;
            } else {
                beat = c->tap_beats[c->tap_count - 1] + beats;
            }
        }
    }
    if (fresh) {
        c->tap_count = 0;
        beat = 0.0;
    }
    if (c->tap_count == kTapsKept) {
        std::copy(c->tap_times + 1, c->tap_times + kTapsKept, c->tap_times);
        std::copy(c->tap_beats + 1, c->tap_beats + kTapsKept, c->tap_beats);
        --c->tap_count;
    }
    c->tap_times[c->tap_count] = at;
    c->tap_beats[c->tap_count] = beat;
    ++c->tap_count;
    if (c->tap_count < 2) return corrections_change();

    fit_taps(c);
    c->tapped = true;
    c->source = BeatSource::kTapped;
    try_follow(c);
    if (c->source == BeatSource::kTapped) request_preference(c, c->tap_period);
    return stepped(at);
}

corrections_change corrections_tempo_factor(corrections* c, int numerator, int denominator,
                                            double ahead) {
    if (numerator <= 0 || denominator <= 0) return corrections_change();
    meter_grid now;
    if (!output(c, &now)) return corrections_change();
    const double f = static_cast<double>(numerator) / denominator;
    const double period = now.periods[METERLEVEL_BEAT];
    // The clock's next beat, without the nudge (added to every output).
    const double start =
        grid_point_after(ahead + kFactorMargin * period, period,
                         now.references[METERLEVEL_BEAT]) - c->nudge;
    switch (c->source) {
        case BeatSource::kTapped:
            c->tap_period = period / f;
            c->tap_reference = start;
            break;
        case BeatSource::kTracker:
            c->source = BeatSource::kFollow;
            c->level = 1.0 / f;
            c->phase_offset = 0.0;
            c->memory_period = period / f;
            c->memory_reference = start;
            break;
        case BeatSource::kFollow:
            c->level /= f;
            c->memory_period = period / f;
            c->memory_reference = start;
            break;
    }
    c->off_beat_known = false;
    c->tempo_step = false;
    int n = c->factor_numerator * numerator, d = c->factor_denominator * denominator;
    const int g = greatest_common_divisor(n, d);
    c->factor_numerator = n / g;
    c->factor_denominator = d / g;
    return stepped(start + c->nudge);
}

corrections_change corrections_nudge(corrections* c, double seconds, double at) {
    if (!std::isfinite(seconds) || seconds == 0.0) return corrections_change();
    c->nudge += seconds;
    return stepped(at);
}

corrections_change corrections_bar_one(corrections* c, double at) {
    meter_grid now;
    if (!output(c, &now)) return corrections_change();
    const double beat = now.periods[METERLEVEL_BEAT];
    const int bar_beats =
        std::max(1, static_cast<int>(std::lround(now.periods[METERLEVEL_BAR] / beat)));
    const double chosen = grid_point_nearest(at, beat, now.references[METERLEVEL_BEAT]);
    const long beats =
        std::lround((chosen - now.references[METERLEVEL_BAR]) / beat) % bar_beats;
    c->bar_offset = static_cast<int>((c->bar_offset + beats + bar_beats) % bar_beats);
    c->bar_set = true;
    return stepped(at);
}

corrections_change corrections_hold(corrections* c, bool on, double /*at*/) {
    corrections_change change;
    if (on == c->holding) return change;
    if (on) {
        c->frozen = c->tracked;
        c->holding = c->have_tracked;
        return change;  // nothing moves now: the grid runs on as it is
    }
    c->holding = false;
    keep_level(c);
    meter_grid corrected;
    output(c, &corrected);
    remember(c, corrected);
    // Back to following, gliding to the tracker's grid as the clock always
    // does: no step when the music is where the clock expects it.
    change.changed = true;
    return change;
}

corrections_change corrections_reset(corrections* c, double at) {
    const bool moved = c->preference_moved;
    meter_grid tracked = c->tracked;
    const bool have_tracked = c->have_tracked;
    *c = corrections();
    c->tracked = tracked;
    c->have_tracked = have_tracked;
    if (moved) request_preference(c, 0.0);
    return stepped(at);
}

bool corrections_take_preference(corrections* c, double* beat_period) {
    if (!c->preference_pending) return false;
    c->preference_pending = false;
    *beat_period = c->preference_beat;
    return true;
}

corrections_status corrections_get_status(const corrections* c) {
    corrections_status status;
    status.tapped = c->tapped;
    status.tap_followed = c->tapped && c->source == BeatSource::kFollow;
    status.taps = c->tap_count;
    status.factor_numerator = c->factor_numerator;
    status.factor_denominator = c->factor_denominator;
    status.nudge_seconds = c->nudge;
    status.bar_one = c->bar_set;
    status.holding = c->holding;
    return status;
}

int corrections_describe(const corrections* c, char* text, int size) {
    char out[128] = "";
    std::size_t used = 0;
    auto add = [&](const char* part) {
        const int n = std::snprintf(out + used, sizeof out - used, "%s%s", used ? ", " : "", part);
        if (n > 0) used = std::min(sizeof out - 1, used + static_cast<std::size_t>(n));
    };
    char part[48];
    if (c->tapped) add(c->source == BeatSource::kTapped ? "tap (own tempo)" : "tap");
    if (c->factor_denominator == 1 && c->factor_numerator != 1) {
        std::snprintf(part, sizeof part, "x%d", c->factor_numerator);
        add(part);
    } else if (c->factor_numerator == 1 && c->factor_denominator != 1) {
        std::snprintf(part, sizeof part, "/%d", c->factor_denominator);
        add(part);
    } else if (c->factor_numerator != 1) {
        std::snprintf(part, sizeof part, "x%d/%d", c->factor_numerator, c->factor_denominator);
        add(part);
    }
    if (c->nudge != 0.0) {
        std::snprintf(part, sizeof part, "nudge %+.0f ms", c->nudge * 1000.0);
        add(part);
    }
    if (c->bar_set) add("bar 1");
    if (c->holding) add("hold");
    return std::snprintf(text, size > 0 ? static_cast<std::size_t>(size) : 0, "%s", out);
}
