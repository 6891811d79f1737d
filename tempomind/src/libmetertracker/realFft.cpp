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
    twiddleRe_.resize(half_ / 2);
    twiddleIm_.resize(half_ / 2);
    for (unsigned k = 0; k < half_ / 2; ++k) {
        twiddleRe_[k] = std::cos(kTwoPi * k / half_);
        twiddleIm_[k] = -std::sin(kTwoPi * k / half_);
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
    // Radix-2 butterflies; at span s the twiddle step through the table is M / (2 s).
    for (unsigned span = 1; span < M; span *= 2) {
        const unsigned stride = M / (2 * span);
        for (unsigned start = 0; start < M; start += 2 * span) {
            for (unsigned k = 0; k < span; ++k) {
                const double wr = twiddleRe_[k * stride];
                const double wi = twiddleIm_[k * stride];
                const unsigned a = start + k;
                const unsigned b = a + span;
                const double tr = wr * zr[b] - wi * zi[b];
                const double ti = wr * zi[b] + wi * zr[b];
                zr[b] = zr[a] - tr;
                zi[b] = zi[a] - ti;
                zr[a] += tr;
                zi[a] += ti;
            }
        }
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
