#include "realFft.h"

#include <cmath>

#include "precondition.h"

namespace {

const double kTwoPi = 6.283185307179586476925286766559;

}  // namespace

RealFft::RealFft(unsigned N) : n_(N), half_(N / 2) {
    TM_PRECONDITION(N >= 4 && (N & (N - 1)) == 0, "N is a power of two, at least 4");
    unsigned bits = 0;
    while ((1u << bits) < half_) ++bits;
    bitReversed_.resize(half_);
    for (unsigned i = 0; i < half_; ++i) {
        unsigned r = 0;
        for (unsigned b = 0; b < bits; ++b) r |= ((i >> b) & 1u) << (bits - 1 - b);
        bitReversed_[i] = r;
    }
    // Twiddles stage by stage: the stage with span s (s = 4, 8, ..) uses
    // exp(-2 pi i k / (2 s)) for k < s, stored contiguously from offset s - 4.
    twiddleRe_.clear();
    twiddleIm_.clear();
    for (unsigned span = 4; span < half_; span *= 2) {
        for (unsigned k = 0; k < span; ++k) {
            twiddleRe_.push_back(std::cos(kTwoPi * k / (2.0 * span)));
            twiddleIm_.push_back(-std::sin(kTwoPi * k / (2.0 * span)));
        }
    }
    splitRe_.resize(half_ / 2 + 1);
    splitIm_.resize(half_ / 2 + 1);
    for (unsigned k = 0; k <= half_ / 2; ++k) {
        splitRe_[k] = std::cos(kTwoPi * k / n_);
        splitIm_[k] = -std::sin(kTwoPi * k / n_);
    }
    workRe_.resize(half_);
    workIm_.resize(half_);
}

void RealFft::forward(const double* x, double* re, double* im) {
    const unsigned M = half_;
    double* zr = workRe_.data();
    double* zi = workIm_.data();
    // z[m] = x[2m] + i x[2m + 1], in bit-reversed order.
    for (unsigned m = 0; m < M; ++m) {
        const unsigned r = bitReversed_[m];
        zr[r] = x[2 * m];
        zi[r] = x[2 * m + 1];
    }
    // Radix-2 butterflies. Spans 1 and 2 need no multiplications (twiddles
    // 1 and -i); from span 4 on each stage reads its twiddles in order.
    for (unsigned a = 0; a + 1 < M; a += 2) {
        const double tr = zr[a + 1], ti = zi[a + 1];
        zr[a + 1] = zr[a] - tr;
        zi[a + 1] = zi[a] - ti;
        zr[a] += tr;
        zi[a] += ti;
    }
    for (unsigned a = 0; a + 3 < M; a += 4) {
        double tr = zr[a + 2], ti = zi[a + 2];
        zr[a + 2] = zr[a] - tr;
        zi[a + 2] = zi[a] - ti;
        zr[a] += tr;
        zi[a] += ti;
        // Times -i.
        tr = zi[a + 3];
        ti = -zr[a + 3];
        zr[a + 3] = zr[a + 1] - tr;
        zi[a + 3] = zi[a + 1] - ti;
        zr[a + 1] += tr;
        zi[a + 1] += ti;
    }
    const double* stageRe = twiddleRe_.data();
    const double* stageIm = twiddleIm_.data();
    for (unsigned span = 4; span < M; span *= 2) {
        for (unsigned start = 0; start < M; start += 2 * span) {
            double* ar = zr + start;
            double* ai = zi + start;
            double* br = ar + span;
            double* bi = ai + span;
            for (unsigned k = 0; k < span; ++k) {
                const double wr = stageRe[k], wi = stageIm[k];
                const double tr = wr * br[k] - wi * bi[k];
                const double ti = wr * bi[k] + wi * br[k];
                br[k] = ar[k] - tr;
                bi[k] = ai[k] - ti;
                ar[k] += tr;
                ai[k] += ti;
            }
        }
        stageRe += span;
        stageIm += span;
    }
    // Split: with E = (Z[k] + conj Z[M - k]) / 2 and O = (Z[k] - conj Z[M - k]) / 2i,
    // X[k] = E + w^k O and X[M - k] = conj(E - w^k O), w = exp(-2 pi i / N).
    re[0] = zr[0] + zi[0];
    im[0] = 0.0;
    re[M] = zr[0] - zi[0];
    im[M] = 0.0;
    for (unsigned k = 1; k <= M / 2; ++k) {
        const unsigned j = M - k;
        const double er = 0.5 * (zr[k] + zr[j]);
        const double ei = 0.5 * (zi[k] - zi[j]);
        const double orr = 0.5 * (zi[k] + zi[j]);
        const double oi = -0.5 * (zr[k] - zr[j]);
        const double wr = splitRe_[k];
        const double wi = splitIm_[k];
        const double tr = wr * orr - wi * oi;
        const double ti = wr * oi + wi * orr;
        re[k] = er + tr;
        im[k] = ei + ti;
        re[j] = er - tr;
        im[j] = -(ei - ti);
    }
}
