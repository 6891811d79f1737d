#!/usr/bin/env python3
"""Reference data for the period and phase model tests, computed with numpy/scipy.

Usage: period_phase.py OUTDIR. Every file holds arrays one after another, each
as its length on one line and its values (17 significant digits) on the next.

The period stage is re-implemented here independently, with numpy's FFT,
scipy's log-normal density and literal Kronecker products, and run over a
sequence of synthetic resonance curves; the C++ stage must make the same
choices.
"""
import math
import os
import sys

import numpy as np
from scipy import stats

from oracle_io import write

# Tracker parameters at 44100 Hz.
FS = 44100 * 2.0 / 512
N = int(math.floor(4 * FS + 0.5))
DELAYS = np.arange(1, N + 1, dtype=float)
HALF_TIME = 3 * FS
BEAT = (0.55, 0.28, 0.31)  # median, shape, prior exponent
BAR = (2.1, 0.26, 0.29)
TATUM = (0.18, 0.39, 0.16)
RATIO_SIGMA = 0.3
RATIO_WEIGHTS = np.array([0.9020073524848866, 1.0, 0.7302768106235606, 1.1438508100093516,
                          0.443270652313484, 0.8863431230976493, 0.43706546371614174,
                          0.796691092092133, 0.6586692681470597])
C = 5
TRANS_SIGMA = 0.1
OBS_WEIGHTS = (1, 1, 3)  # beat, bar, tatum
LOG_FLOOR = 1e-60


def round_half_up(x):
    return int(math.floor(x + 0.5))


def lognpdf(x, myy, sigma):
    return stats.lognorm.pdf(x, s=sigma, scale=myy)


def ratio_likelihood(periods, given):
    w = RATIO_WEIGHTS / RATIO_WEIGHTS.sum()
    periods = np.asarray(periods, dtype=float)
    ratios = np.arange(1, 10)[:, None]
    bumps = stats.norm.pdf(periods[None, :], loc=given * ratios, scale=RATIO_SIGMA * given)
    # norm.pdf divides by the bump width s = ratioSigma * given; the likelihood
    # is normalised by ratioSigma alone, so scale back by given.
    return (w[:, None] * bumps * given).sum(axis=0)


def log_trans(prev, cur, sigma):
    prev = np.asarray(prev, dtype=float)
    cur = np.asarray(cur, dtype=float)
    return -0.5 * (np.log10(cur[None, :] / prev[:, None]) / sigma) ** 2


def phase_trans(prev, period, cur, sigma):
    prev = np.asarray(prev, dtype=float)
    cur = np.asarray(cur, dtype=float)
    diff = np.abs(cur[None, :] - prev[:, None])
    d = (np.fmod(0.5 * period + diff, period) - 0.5 * period) / period
    return stats.norm.pdf(d / sigma) / sigma


def peaks_by_height(x, n):
    """Strict local maxima, highest first (stable among equal heights)."""
    size = len(x)
    pos = [i for i in range(size)
           if (i == size - 1 or x[i] > x[i + 1]) and (i == 0 or x[i] > x[i - 1])]
    pos = np.array(pos, dtype=int)
    order = np.argsort(-x[pos], kind="stable") if pos.size else pos
    out = np.full(n, size)
    out[:min(n, pos.size)] = pos[order][:n]
    return out


def candidates(sal, per):
    pk = peaks_by_height(sal, C)
    periods = np.zeros(C)
    saliences = np.zeros(C)
    for c in range(C):
        if pk[c] < len(sal):
            periods[c], saliences[c] = per[pk[c]], sal[pk[c]]
        elif c > 0:
            periods[c], saliences[c] = periods[c - 1], saliences[c - 1]
    return periods, saliences


class PeriodStage:
    def __init__(self):
        self.history = np.zeros((2, C, 3))
        self.scores = None

    def step(self, t, v, u):
        D = N
        K = 2 ** math.ceil(math.log(D) / math.log(2))
        B = round_half_up(K * 20 / FS)
        w = np.array(v, dtype=float)
        w -= w.mean()
        w *= 0.5 * np.cos(np.arange(1, D + 1) * np.pi / (D + 1)) + 0.5
        spectrum = np.abs(np.fft.fft(w, K))[:B + 1] / N
        per_lag = DELAYS / FS
        per_bin = np.empty(B + 1)
        per_bin[1:] = K / (np.arange(1, B + 1) * FS)
        per_bin[0] = per_bin[1]
        tatum_sal = lognpdf(per_bin, *TATUM[:2]) ** TATUM[2] * np.sqrt(per_bin) * spectrum
        beat_sal = lognpdf(per_lag, *BEAT[:2]) ** BEAT[2] * v / (1 - u)
        bar_sal = lognpdf(per_lag, *BAR[:2]) ** BAR[2] * v / (1 - u)
        beatyness = beat_sal.mean()

        tp, ts = candidates(tatum_sal, per_bin)
        bp, bs = candidates(beat_sal, per_lag)
        mp, ms = candidates(bar_sal, per_lag)
        l_bar = np.empty((C, C))  # [bar k][beat j]
        for j in range(C):
            l_bar[:, j] = np.log(ratio_likelihood(mp, bp[j]) + LOG_FLOOR)
        l_beat = np.empty((C, C))  # [beat j][tatum l]
        for l in range(C):
            l_beat[:, l] = np.log(ratio_likelihood(bp, tp[l]) + LOG_FLOOR)
        obs = np.empty(C ** 3)
        for l in range(C):
            for k in range(C):
                for j in range(C):
                    obs[j + C * k + C * C * l] = (
                        OBS_WEIGHTS[2] * np.log(ts[l] + LOG_FLOOR)
                        + (OBS_WEIGHTS[1] * np.log(ms[k] + LOG_FLOOR)
                           + OBS_WEIGHTS[0] * np.log(bs[j] + LOG_FLOOR))
                        + l_bar[k, j] + l_beat[j, l])

        self.history[0] = self.history[1]
        self.history[1] = np.stack([bp, mp, tp], axis=1)
        if t == 0:
            self.scores = np.stack([np.zeros(C ** 3), obs])
        else:
            tb = log_trans(self.history[0, :, 0], self.history[1, :, 0], TRANS_SIGMA)
            tm = log_trans(self.history[0, :, 1], self.history[1, :, 1], TRANS_SIGMA)
            tt = log_trans(self.history[0, :, 2], self.history[1, :, 2], TRANS_SIGMA)
            big = (self.scores[1][:, None]
                   + np.kron(np.ones((C * C, C * C)), tb)
                   + np.kron(np.kron(np.ones((C, C)), tm), np.ones((C, C)))
                   + np.kron(tt, np.ones((C * C, C * C))))
            self.scores = np.stack([self.scores[1], big.max(axis=0) + obs])
        best = int(np.argmax(self.scores[1]))
        j, k, l = best % C, (best // C) % C, best // (C * C)
        chosen = (self.history[1, j, 0], self.history[1, k, 1], self.history[1, l, 2])
        return tatum_sal, beat_sal, bar_sal, beatyness, obs, chosen, self.scores[1].copy()


def bias(step):
    """The driver's bias vector after step `step` (last frame 86 step + 85)."""
    n = 86 * step + 85
    g = 0.5 ** (DELAYS / HALF_TIME)
    norm = (1 - g) ** 2 / (1 - g * g)
    cycles = np.ceil((n + 1) / DELAYS)
    return (1 - (g ** cycles) ** 2) * norm


def resonance(rng, beat_lag, bar_every, noise):
    """Resonance of a pulse train: bumps at multiples of beat_lag, the bar
    multiples stronger, plus non-negative noise."""
    lags = DELAYS
    v = np.zeros(N)
    m = 1
    while m * beat_lag <= N + 3:
        height = 1.0 if m % bar_every else 1.6
        v += height * np.exp(-0.5 * ((lags - m * beat_lag) / 1.5) ** 2)
        m += 1
    v += noise * rng.random(N)
    return v * 0.01


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(4242)

    # Log-normal density on a grid for several (median, shape) pairs.
    x = np.concatenate([np.linspace(0.01, 5.0, 97), [0.18, 0.55, 2.1]])
    pairs = [(0.55, 0.28), (2.1, 0.26), (0.18, 0.39), (1.0, 1.0)]
    write(os.path.join(out, "lognpdf.txt"), x,
          *[np.array([myy, sigma]) for myy, sigma in pairs],
          *[lognpdf(x, myy, sigma) for myy, sigma in pairs])

    # Ratio likelihood for random candidate periods and given periods.
    cases = []
    for given in (0.1, 0.25, 0.37, 0.5, 1.3):
        periods = rng.uniform(0.05, 4.0, 11)
        cases += [np.array([given]), periods, ratio_likelihood(periods, given)]
    write(os.path.join(out, "ratio_likelihood.txt"), *cases)

    # Period and phase transition likelihoods.
    prev = rng.uniform(0.1, 4.0, 5)
    cur = rng.uniform(0.1, 4.0, 6)
    write(os.path.join(out, "log_trans.txt"), prev, cur, [0.1], log_trans(prev, cur, 0.1),
          [0.37], log_trans(prev, cur, 0.37))
    prev = rng.uniform(0.0, 20.0, 15)
    cur = rng.uniform(0.0, 20.0, 15)
    write(os.path.join(out, "phase_trans.txt"), prev, cur, [0.5], [0.1],
          phase_trans(prev, 0.5, cur, 0.1), [1.93], [0.25], phase_trans(prev, 1.93, cur, 0.25))

    # The period stage over a sequence of synthetic resonance curves: a 0.5 s
    # beat (86.13 lags) with 4-beat bars, then a change to 0.42 s with 3-beat
    # bars, then back.
    stage = PeriodStage()
    arrays = []
    plan = [(86.13, 4)] * 5 + [(72.35, 3)] * 6 + [(86.13, 4)] * 4
    for t, (beat_lag, bar_every) in enumerate(plan):
        v = resonance(rng, beat_lag, bar_every, 0.4)
        u = bias(t)
        tatum_sal, beat_sal, bar_sal, beatyness, obs, chosen, scores = stage.step(t, v, u)
        arrays += [v, u, tatum_sal, beat_sal, bar_sal, [beatyness], obs, np.array(chosen), scores]
    write(os.path.join(out, "period_stage.txt"), *arrays)


if __name__ == "__main__":
    main()
