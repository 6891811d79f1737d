#include "metricalLevel.h"

#include <algorithm>
#include <cmath>

namespace meterTracker {

namespace {

long positiveMod(long value, long modulus) {
    const long r = value % modulus;
    return r < 0 ? r + modulus : r;
}

}  // namespace

void MetricalLevel::configure(const Params& params) {
    accentRate_ = params.accentRate;
    // The window plus the peak search on both sides of its ends.
    const size_t length = static_cast<size_t>(std::ceil(kWindowSeconds * accentRate_)) + 8;
    ring_.assign(length, 0.0);
    scratch_.assign(length, 0.0);
    reset();
}

void MetricalLevel::reset() {
    std::fill(ring_.begin(), ring_.end(), 0.0);
    newestFrame_ = -1;
    steps_ = 0;
    beatCount_ = 0;
    previousPhase_ = 0.0;
    havePhase_ = false;
    std::fill(profile_, profile_ + 6, 0.0);
    haveProfile_ = false;
    ternary_ = false;
    offset_ = 0;
    run_ = 0;
}

void MetricalLevel::appendAccents(const NumaMathLibrary::Matrix<double>& envelopes,
                                  unsigned firstColumn, unsigned frames, unsigned lastFrame) {
    const unsigned bands = envelopes.nRows();
    const long length = static_cast<long>(ring_.size());
    for (unsigned f = 0; f < frames; ++f) {
        double sum = 0.0;
        for (unsigned b = 0; b < bands; ++b) sum += envelopes[b][firstColumn + f];
        const long frame = static_cast<long>(lastFrame) - frames + 1 + f;
        ring_[positiveMod(frame, length)] = sum;
    }
    newestFrame_ = static_cast<long>(lastFrame);
}

double MetricalLevel::accentAt(long frame, double floor) const {
    const long length = static_cast<long>(ring_.size());
    const long oldest = std::max(0L, newestFrame_ - length + 1);
    double peak = 0.0;
    bool any = false;
    for (long f = frame - 2; f <= frame + 2; ++f) {
        if (f < oldest || f > newestFrame_) continue;
        const double v = ring_[positiveMod(f, length)];
        peak = any ? std::max(peak, v) : v;
        any = true;
    }
    return any ? std::max(peak - floor, 0.0) : 0.0;
}

// Adds this step's fold of the last kWindowSeconds to the running profile.
// False when the window does not yet reach every eighth.
bool MetricalLevel::foldStep(double period, double phase, double nowSeconds) {
    const long length = static_cast<long>(ring_.size());
    const long windowFrames =
        std::min<long>(static_cast<long>(kWindowSeconds * accentRate_), newestFrame_ + 1);
    if (windowFrames < 100 || !(period > 0.0)) return false;

    // The window's median stands for the accent level between onsets.
    const long first = newestFrame_ - windowFrames + 1;
    for (long i = 0; i < windowFrames; ++i) scratch_[i] = ring_[positiveMod(first + i, length)];
    const auto middle = scratch_.begin() + windowFrames / 2;
    std::nth_element(scratch_.begin(), middle, scratch_.begin() + windowFrames);
    const double floor = *middle;

    double sums[6] = {0, 0, 0, 0, 0, 0};
    unsigned counts[6] = {0, 0, 0, 0, 0, 0};
    const long kFirst =
        static_cast<long>(std::ceil((nowSeconds - kWindowSeconds + 0.05 - phase) / period));
    const long kLast = static_cast<long>(std::floor((nowSeconds - 0.05 - phase) / period)) - 1;
    for (long k = kFirst; k <= kLast; ++k) {
        for (int j = 0; j < 2; ++j) {
            const double t = phase + (k + 0.5 * j) * period;
            const long frame = std::lround(t * accentRate_);
            const long eighth = positiveMod(2 * (beatCount_ + k) + j, 6);
            sums[eighth] += accentAt(frame, floor);
            ++counts[eighth];
        }
    }
    double total = 0.0;
    for (int e = 0; e < 6; ++e) {
        if (counts[e] == 0) return false;
        sums[e] /= counts[e];
        total += sums[e];
    }
    total += 1e-12;
    for (int e = 0; e < 6; ++e) {
        const double share = sums[e] / total;
        profile_[e] =
            haveProfile_ ? (1.0 - kProfileUpdate) * profile_[e] + kProfileUpdate * share : share;
    }
    haveProfile_ = true;
    return true;
}

double MetricalLevel::bestGrouping(unsigned& offset) const {
    double best = -1.0;
    for (unsigned o = 0; o < 3; ++o) {
        const double* a = profile_;
        const double others =
            (a[(o + 1) % 6] + a[(o + 2) % 6] + a[(o + 4) % 6] + a[(o + 5) % 6]) / 4.0;
        const double score = std::min(a[o], a[o + 3]) / (others + 1e-9);
        if (score > best) {
            best = score;
            offset = o;
        }
    }
    return best;
}

LevelChoice MetricalLevel::classicChoice(const PeriodChoice& periods,
                                         const PhaseChoice& phases) const {
    LevelChoice c;
    c.beatPeriod = periods.beat;
    c.beatPhase = phases.beat;
    c.tatumPeriod = periods.tatum;
    c.barPeriod = periods.bar;
    c.beatMultiplier = 1.0;
    c.ternary = false;
    c.grouping = 0.0;
    return c;
}

LevelChoice MetricalLevel::step(const PeriodChoice& periods, const PhaseChoice& phases,
                                const NumaMathLibrary::Matrix<double>& envelopes,
                                unsigned firstColumn, unsigned frames, unsigned lastFrame) {
    appendAccents(envelopes, firstColumn, frames, lastFrame);
    const double period = periods.beat;
    const double phase = phases.beat;

    // Classic beats advance by whole periods from step to step; their count
    // numbers the eighths consistently.
    if (havePhase_ && period > 0.0) beatCount_ += std::lround((phase - previousPhase_) / period);
    previousPhase_ = phase;
    havePhase_ = true;

    const double now = (static_cast<double>(lastFrame) + 1.0) / accentRate_;
    foldStep(period, phase, now);
    const unsigned stepIndex = steps_++;

    LevelChoice choice = classicChoice(periods, phases);
    if (!haveProfile_ || stepIndex < kWarmupSteps) return choice;

    unsigned offset = 0;
    const double grouping = bestGrouping(offset);
    choice.grouping = grouping;
    const bool plausible = 1.5 * period <= kLongestBeat;
    if (!ternary_) {
        run_ = (grouping > kGroupingEnter && plausible) ? run_ + 1 : 0;
        if (run_ >= kEnterSteps) {
            ternary_ = true;
            offset_ = offset;
            run_ = 0;
        }
    } else {
        const bool against = grouping < kGroupingLeave || !plausible;
        run_ = against ? run_ + 1 : 0;
        if (run_ >= kLeaveSteps) {
            ternary_ = false;
            run_ = 0;
        } else if (!against) {
            offset_ = offset;
        }
    }
    if (!ternary_) return choice;

    // The latest eighth of the dotted grid at or before the classic beat.
    const long beatEighth = positiveMod(2 * beatCount_, 6);
    const long ahead = positiveMod(static_cast<long>(offset_) - beatEighth, 3);
    const double dotted = 1.5 * period;
    choice.beatPeriod = dotted;
    choice.beatPhase = phase + ahead * 0.5 * period - (ahead > 0 ? dotted : 0.0);
    choice.tatumPeriod = 0.5 * period;
    const double beatsPerBar = std::max(1.0, std::round(periods.bar / dotted));
    choice.barPeriod = beatsPerBar * dotted;
    choice.beatMultiplier = 1.5;
    choice.ternary = true;
    return choice;
}

}  // namespace meterTracker
