// Shared helpers of the accent front end tests: deterministic test audio,
// feeding in blocks, and a snapshot of what the front end delivers.
#ifndef KADENZO_TESTS_ONSETS_SUPPORT_H
#define KADENZO_TESTS_ONSETS_SUPPORT_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "Matrix.h"
#include "onsets.h"

namespace onsets_test {

// Uniform values in [-0.5, 0.5) from a fixed linear congruential sequence.
class Lcg {
  public:
    explicit Lcg(std::uint32_t seed) : state_(seed) {}
    double next() {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) / 16777216.0 - 0.5;
    }

  private:
    std::uint32_t state_;
};

// Music-like test audio: a quiet tone, a noise floor and decaying noise bursts
// every 0.23 s.
inline std::vector<double> burstyAudio(double seconds, double fs, std::uint32_t seed = 7) {
    Lcg rng(seed);
    std::vector<double> x(static_cast<std::size_t>(seconds * fs));
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = i / fs;
        const double sinceBurst = std::fmod(t + 0.05, 0.23);
        x[i] = 0.05 * std::sin(2 * 3.141592653589793 * 220.0 * t) + 0.01 * rng.next() +
               0.8 * rng.next() * std::exp(-sinceBurst / 0.01);
    }
    return x;
}

// Clicks (20 alternating samples of +-0.8) at the given times over a faint noise floor.
inline std::vector<double> clickTrain(double seconds, double fs, const std::vector<double>& times) {
    Lcg rng(1);
    std::vector<double> x(static_cast<std::size_t>(seconds * fs));
    for (double& v : x) v = 1e-3 * rng.next();
    for (double t : times) {
        const std::size_t i = static_cast<std::size_t>(std::lround(t * fs));
        for (std::size_t k = 0; k < 20 && i + k < x.size(); ++k) x[i + k] += (k % 2 ? -0.8 : 0.8);
    }
    return x;
}

// Feeds x in blocks of `block` samples (0: all at once), calling process after each.
inline void feed(Onsets& onsets, const std::vector<double>& x, std::size_t block) {
    if (block == 0) block = x.size();
    for (std::size_t i = 0; i < x.size(); i += block) {
        const std::size_t n = std::min(block, x.size() - i);
        onsets.addData(x.data() + i, static_cast<unsigned int>(n));
        onsets.process();
    }
}

// What the front end hands out from stream column `start` on.
struct Snapshot {
    bool bandsOk = false;
    bool accentsOk = false;
    NumaMathLibrary::Matrix<double> bands;
    std::vector<double> accents;
};

inline Snapshot snapshot(Onsets& onsets, unsigned int start = 0) {
    Snapshot s;
    s.bands = NumaMathLibrary::Matrix<double>(1, 1);
    s.bandsOk = onsets.getBandEnvs(s.bands, start);
    s.accentsOk = onsets.getAccents(s.accents, start);
    return s;
}

// Largest |a - b| / (abs + rel * |b|) over all elements: <= 1 means within tolerance.
inline double worstError(const double* a, const double* b, std::size_t n, double abs, double rel) {
    double worst = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        const double err = std::fabs(a[i] - b[i]) / (abs + rel * std::fabs(b[i]));
        if (std::isnan(err)) return HUGE_VAL;
        worst = std::max(worst, err);
    }
    return worst;
}

inline bool allFinite(const double* v, std::size_t n) {
    return std::all_of(v, v + n, [](double x) { return std::isfinite(x); });
}

}  // namespace onsets_test

#endif
