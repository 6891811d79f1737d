#!/usr/bin/env python3
"""Reference data for the accent front end tests, computed with numpy/scipy.

Usage: onsets_reference.py OUTDIR. Each file holds arrays one after another,
each written as its size on one line and its values (17 significant digits)
on the next (the format tests/oracle_data.h reads).

Written independently of the C++ code:
- butter.txt: per stored low-pass row, the cut-off it is matched against, the
  cut-off it is designed for, and scipy.signal.butter(6, Wn) as b (7) and a (7).
- impulse_peaks.txt: per row, the index of the first maximum of the impulse
  response (199 samples, scipy.signal.lfilter), 0 when no value exceeds 0.
- erb_edges_<rate>.txt: the B + 2 ERB band edges of the analysis.
- frontend_<case>.txt: an input signal and what the front end must deliver
  after analysing it in one piece: rate, G, envelope rate, band count, the
  delay-compensated band envelopes from column 0 (bands x columns, row after
  row) and the delay-compensated accent signal. The pipeline is rebuilt here
  with numpy's FFT, numpy's mean/std over every sample up to each frame's
  end, and lfilter with carried state.
"""
import ctypes
import os
import sys

import numpy as np
from scipy import signal

from oracle_io import write

# rate: (frame length N, bands B)
RATES = {44100: (1024, 36), 32000: (1024, 36), 22050: (512, 18), 16000: (512, 18), 8000: (256, 9)}

# Matched cut-off, design cut-off. The last row is matched as 0.029 but holds
# the design for 10 Hz at an envelope rate of 689.0625 Hz.
LOWPASS_ROWS = [(w, w) for w in (0.058, 0.1161, 0.2322, 0.0871, 0.1741, 0.3483, 0.08, 0.16,
                                 0.32, 0.12, 0.24, 0.48)]
LOWPASS_ROWS.append((0.029, 10.0 / (0.5 * 689.0625)))


# ERB-rate scale: E(f) = (1000 ln 10 / (24.673 * 4.368)) * log10(1 + 4.368 f / 1000).
ERB_SCALE = 1000.0 * np.log(10.0) / (24.673 * 4.368)


def hz2erb(f):
    return ERB_SCALE * np.log10(1.0 + 4.368 * f / 1000.0)


def erb2hz(e):
    return (10.0 ** (e / ERB_SCALE) - 1.0) * 1000.0 / 4.368


def erb_edges(fs, bands):
    low, high = hz2erb(50.0), hz2erb(0.45 * fs)
    edges = erb2hz(low + np.arange(bands + 1) * (high - low) / (bands + 1))
    return np.append(edges, 0.45 * fs)


def round_half_up(x):
    return int(np.floor(x + 0.5))


def band_weights(fs):
    """Triangular weights over the N/2 magnitude bins, one row per band."""
    n, bands = RATES[fs]
    edges = erb_edges(fs, bands)
    weights = np.zeros((bands, n // 2))
    bins = []
    for b in range(bands):
        c = round_half_up(edges[b + 1] / fs * n)
        lo = min(round_half_up(edges[b] / fs * n), c - 1)
        hi = max(round_half_up(edges[b + 2] / fs * n), c + 1)
        weights[b, lo:c + 1] = np.arange(c - lo + 1) / (c - lo)
        weights[b, c + 1:hi + 1] = 1.0 - np.arange(1, hi - c + 1) / (hi - c)
        bins.append((lo, c, hi))
    return weights, bins


def lowpass(wn):
    for matched, design in LOWPASS_ROWS:
        if abs(wn - matched) < 0.01:
            return signal.butter(6, design)
    raise ValueError("no stored design")


def impulse_peak(b, a, length=199):
    x = np.zeros(length)
    x[0] = 1.0
    y = signal.lfilter(b, a, x)
    return int(np.argmax(y)) if y.max() > 0 else 0


def seeded_noise(n):
    """The C library's rand() after srand(13), scaled to a faint negative noise."""
    libc = ctypes.CDLL("libc.so.6")
    libc.srand(13)
    r = np.array([libc.rand() for _ in range(n)], dtype=float)
    return (-r / 2.0 ** 31 - 0.5) * 1e-5


def frontend(x, fs):
    n, bands = RATES[fs]
    hop = n // 2
    frames = (len(x) - n) // hop + 1
    window = 0.5 - 0.5 * np.cos(6.28318530717958 * np.arange(1, n + 1) / (n + 1))
    weights, _ = band_weights(fs)

    power = np.zeros((bands, frames))
    inserted = []  # substitute noise that entered the statistics
    for f in range(frames):
        frame = x[hop * f:hop * f + n]
        pool = np.concatenate([x[:hop * f + n]] + inserted)
        if np.std(pool, ddof=1) == 0.0:
            frame = seeded_noise(n)
            inserted.append(frame)
            pool = np.concatenate([pool, frame])
        m, sd = np.mean(pool), np.std(pool, ddof=1)
        mags = np.abs(np.fft.fft((frame - m) * window / sd)[:hop]) / np.sqrt(n)
        power[:, f] = ((weights * mags) ** 2).sum(axis=1)

    up = np.zeros((bands, 2 * frames))
    up[:, 0::2] = 2.0 * np.log(1.0 + 100.0 * power) / np.log(101.0)

    env_rate = 4.0 * fs / n
    b, a = lowpass(10.0 / (0.5 * env_rate))
    g_delay = max(0, impulse_peak(b, a) - 1)
    y, zf = signal.lfilter(b, a, up, axis=1, zi=np.zeros((bands, 6)))
    tail = np.array([signal.lfilter(b, a, np.zeros(g_delay), zi=zf[i])[0] for i in range(bands)])
    full = np.maximum(np.concatenate([y, tail], axis=1), 0.0)

    g = 0.9 * (0.5 * env_rate / 10.0)
    diff = (1.0 - 0.9) * full
    diff[:, :-1] += g * np.maximum(0.0, np.diff(full, axis=1))
    history, tail = diff[:, :2 * frames], diff[:, 2 * frames:]
    band_envs = np.concatenate([history[:, g_delay:], tail], axis=1)
    accents = np.concatenate([history.sum(axis=0)[g_delay:], tail.sum(axis=0)])
    return g_delay, env_rate, bands, band_envs, accents


def test_signal(fs, seconds, rng):
    """Noise bursts at irregular times over a quiet tone and a little noise."""
    t = np.arange(int(seconds * fs)) / fs
    x = 0.05 * np.sin(2 * np.pi * 220.0 * t) + 0.01 * rng.standard_normal(t.size)
    for start in (0.11, 0.37, 0.52, 0.81, 1.05, 1.33):
        burst = (t >= start) & (t < start + 0.03)
        x[burst] += 0.6 * rng.standard_normal(burst.sum()) * np.exp(-(t[burst] - start) / 0.01)
    return x


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(4242)

    rows = []
    peaks = []
    for matched, design in LOWPASS_ROWS:
        b, a = signal.butter(6, design)
        rows += [[matched], [design], b, a]
        peaks.append(impulse_peak(b, a))
    write(os.path.join(out, "butter.txt"), *rows)
    write(os.path.join(out, "impulse_peaks.txt"), peaks)

    for fs, (n, bands) in RATES.items():
        write(os.path.join(out, f"erb_edges_{fs}.txt"), erb_edges(fs, bands))

    # The band layout the front end uses at 44100 Hz: band 0 on bins 1..3, band 35 on 365..461.
    _, bins = band_weights(44100)
    assert (bins[0][0], bins[0][2]) == (1, 3), bins[0]
    assert (bins[35][0], bins[35][2]) == (365, 461), bins[35]

    cases = {f"rate_{fs}": (fs, test_signal(fs, 1.5, rng)) for fs in RATES}
    cases["silence"] = (44100, np.zeros(int(0.5 * 44100)))
    cases["silent_start"] = (44100, np.concatenate([np.zeros(int(0.3 * 44100)),
                                                    test_signal(44100, 1.0, rng)]))
    for name, (fs, x) in cases.items():
        g_delay, env_rate, bands, band_envs, accents = frontend(x, fs)
        write(os.path.join(out, f"frontend_{name}.txt"), [fs], [g_delay], [env_rate], [bands], x,
              band_envs, accents)


if __name__ == "__main__":
    main()
