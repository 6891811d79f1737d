#!/usr/bin/env python3
"""Reference data for the resonator bank tests, computed with numpy/scipy.

Usage: resonators.py OUTDIR. Each file holds whitespace-separated arrays, each
written as its size on one line and its values (17 significant digits) on the
next. The combs are written as plain difference equations run by
scipy.signal.lfilter over the whole signal, from a zero history.
"""
import os
import sys

import numpy as np
from scipy import signal

from oracle_io import write

SIGNAL_LENGTH = 300
BLOCK = 37  # energies are taken per block of this many samples
SMOOTHING = 0.5 ** (1.0 / 516.796875)  # the tracker's per-sample decay at 44100 Hz


def delayed(x, T):
    """x[k - T], zero before the start."""
    d = np.zeros_like(x)
    if T < x.size:
        d[T:] = x[: x.size - T]
    return d


def comb(x, T, g):
    """Output, energy sequence and final delay line (oldest first)."""
    if g == 0.0:  # lag product; the line holds the inputs
        y = x * delayed(x, T)
        return y, y, x[-T:]
    if g in (1.0, -1.0):  # feed-forward; the line holds g times the inputs
        y = x + g * delayed(x, T)
        return y, y * y, g * x[-T:]
    # feedback: y[k] = (1 - g) x[k] + g y[k - T]
    a = np.zeros(T + 1)
    a[0] = 1.0
    a[T] = -g
    y = signal.lfilter([1.0 - g], a, x)
    return y, y * y, g * y[-T:]


def block_energies(q):
    """Leaky integral r[k] = p r[k-1] + q[k], restarted at every block, at its end."""
    out = []
    for start in range(0, q.size, BLOCK):
        out.append(signal.lfilter([1.0], [1.0, -SMOOTHING], q[start : start + BLOCK])[-1])
    return np.array(out)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(20261210)
    x = rng.standard_normal(SIGNAL_LENGTH)
    write(os.path.join(out, "input.txt"), x, [SMOOTHING, BLOCK], block_energies(x * x))

    tracker_gain = lambda T: 0.5 ** (T / 516.796875)
    cases = [
        ("feedback_1", 1, 0.5),
        ("feedback_5", 5, 0.8),
        ("feedback_86", 86, tracker_gain(86)),
        ("feedback_200", 200, tracker_gain(200)),
        ("feedback_450", 450, tracker_gain(450)),  # longer than the whole signal
        ("feedback_negative", 3, -0.7),
        ("feedforward_plus", 3, 1.0),
        ("feedforward_minus", 7, -1.0),
        ("lagproduct", 4, 0.0),
        ("lagproduct_long", 320, 0.0),
    ]
    for name, T, g in cases:
        y, q, line = comb(x, T, g)
        if line.size < T:  # the line still holds zeros from before the signal
            line = np.concatenate([np.zeros(T - line.size), line])
        write(os.path.join(out, f"{name}.txt"), [T, g], y, line, block_energies(q))


if __name__ == "__main__":
    main()
