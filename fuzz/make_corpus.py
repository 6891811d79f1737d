#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus: tiny audio files of clicks on a
beat, in the formats and sample rates the reader meets, plus a cut-off one.

    /usr/bin/python3 fuzz/make_corpus.py fuzz/corpus
"""
import os
import sys

import numpy as np
import soundfile as sf


def clicks(rate, seconds, channels, bpm=120.0):
    n = int(rate * seconds)
    x = np.zeros((n, channels))
    beat = int(rate * 60.0 / bpm)
    decay = np.exp(-np.arange(int(0.02 * rate)) / (0.004 * rate))
    for at in range(int(0.05 * rate), n, beat):
        end = min(n, at + decay.size)
        x[at:end, :] += 0.8 * decay[: end - at, None]
    return x


def main(folder):
    os.makedirs(folder, exist_ok=True)
    files = [
        ("clicks-8k.wav", 8000, 1.2, 1, "WAV", "PCM_16"),
        ("clicks-44k.flac", 44100, 1.5, 1, "FLAC", "PCM_16"),
        ("clicks-22k-stereo-float.wav", 22050, 0.1, 2, "WAV", "FLOAT"),
        ("clicks-11k.aiff", 11025, 0.5, 1, "AIFF", "PCM_S8"),
        ("clicks-48k.ogg", 48000, 1.0, 1, "OGG", "VORBIS"),
    ]
    for name, rate, seconds, channels, kind, subtype in files:
        data = clicks(rate, seconds, channels)
        sf.write(os.path.join(folder, name), data if channels > 1 else data[:, 0], rate,
                 format=kind, subtype=subtype)
    with open(os.path.join(folder, "clicks-8k.wav"), "rb") as f:
        whole = f.read()
    with open(os.path.join(folder, "cut-off.wav"), "wb") as f:
        f.write(whole[: len(whole) // 3])


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "fuzz/corpus")
