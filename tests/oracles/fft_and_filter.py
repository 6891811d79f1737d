#!/usr/bin/env python3
"""Reference data for the FFT and IIR filter tests, computed with numpy/scipy.

Usage: fft_and_filter.py OUTDIR. Every file holds whitespace-separated numbers
written with 17 significant digits; the C++ test reads them back.
"""
import os
import sys

import numpy as np
from scipy import signal

from oracle_io import write


def interleave(z):
    out = np.empty(2 * z.size)
    out[0::2] = z.real
    out[1::2] = z.imag
    return out


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(20261209)

    # FFT: input, forward transform (negative exponent), and N times the inverse.
    for n in (1, 2, 4, 8, 64, 1024):
        x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
        write(os.path.join(out, f"fft_{n}.txt"), interleave(x), interleave(np.fft.fft(x)),
              interleave(np.fft.ifft(x) * n))

    # Real-input spectrum: samples, then bins 0 .. n/2 as real and imaginary parts.
    for n in (4, 8, 64, 1024, 2048):
        x = rng.standard_normal(n)
        spectrum = np.fft.rfft(x)
        write(os.path.join(out, f"rfft_{n}.txt"), x, spectrum.real, spectrum.imag)

    # Filters: coefficients, input, lfilter output and final state (transposed
    # direct form II, the same state the stateful filter carries).
    x = rng.standard_normal(1000)
    cases = {
        "butter6": signal.butter(6, 0.3),
        "butter2_high": signal.butter(2, 0.1, "high"),
        "fir": (rng.standard_normal(9), np.array([1.0])),
        "allpole": (np.array([0.5]), np.array([1.0, -0.9, 0.2])),
        "longer_a": (np.array([1.0, 0.5]), np.array([1.0, -0.5, 0.25, -0.125, 0.0625])),
    }
    for name, (b, a) in cases.items():
        b = np.asarray(b, dtype=float) / a[0]
        a = np.asarray(a, dtype=float) / a[0]
        zi = np.zeros(max(len(a), len(b)) - 1)
        y, zf = signal.lfilter(b, a, x, zi=zi)
        write(os.path.join(out, f"filter_{name}.txt"), b, a, x, y, zf)


if __name__ == "__main__":
    main()
