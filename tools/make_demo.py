#!/usr/bin/python3
"""Synthesises the bundled demo recording: drums, bass and chords in 4/4,
five bars at 100 BPM, then seven bars at 128 BPM (about 26 s), written as a
mono 22050 Hz FLAC file (the analyser converts it to 44100 Hz).

Usage: tools/make_demo.py [OUTPUT.flac] [--truth BEATS.txt]

--truth writes the beats as they were placed, one a line as
TIME<TAB>POSITION, the format of `kadenzo analyze --beats`.
Needs Debian's python3-numpy and python3-soundfile; the output is the same
on every run.
"""
import argparse

import numpy as np
import soundfile

RATE = 22050
LEAD_IN = 0.25  # seconds of silence before the first downbeat
SECTIONS = [(100.0, 5), (128.0, 7)]  # (BPM, bars), 4 beats a bar
TAIL = 0.6
# A minor, F major, C major, G major; chord tones as MIDI notes.
CHORDS = [(57, 60, 64), (53, 57, 60), (48, 52, 55), (55, 59, 62)]


def midi_hz(note):
    return 440.0 * 2.0 ** ((note - 69) / 12.0)


def beat_grid():
    """Beat times and positions in the bar (1 .. 4), and each beat's length."""
    beats, t = [], LEAD_IN
    for bpm, bars in SECTIONS:
        period = 60.0 / bpm
        for _ in range(bars):
            for position in range(1, 5):
                beats.append((t, position, period))
                t += period
    return beats, t


def add(out, start, signal):
    i = int(round(start * RATE))
    n = min(len(signal), len(out) - i)
    if n > 0:
        out[i:i + n] += signal[:n]


def kick(rng):
    t = np.arange(int(0.35 * RATE)) / RATE
    freq = 48.0 + 100.0 * np.exp(-t / 0.025)
    phase = 2 * np.pi * np.cumsum(freq) / RATE
    click = rng.uniform(-1, 1, len(t)) * np.exp(-t / 0.002) * 0.3
    return (np.sin(phase) * np.exp(-t / 0.13) + click) * 0.9


def snare(rng):
    t = np.arange(int(0.22 * RATE)) / RATE
    noise = rng.uniform(-1, 1, len(t))
    noise = noise - 0.6 * np.concatenate(([0.0], noise[:-1]))  # a little brighter
    body = np.sin(2 * np.pi * 190.0 * t) * np.exp(-t / 0.04)
    return (0.55 * noise * np.exp(-t / 0.06) + 0.45 * body) * 0.6


def hat(rng, length):
    t = np.arange(int(length * RATE)) / RATE
    noise = rng.uniform(-1, 1, len(t) + 1)
    return np.diff(noise) * np.exp(-t / (length / 4)) * 0.08


def bass_note(note, length):
    t = np.arange(int(length * RATE)) / RATE
    f = midi_hz(note)
    wave = np.sin(2 * np.pi * f * t) + 0.35 * np.sin(4 * np.pi * f * t) + 0.12 * np.sin(6 * np.pi * f * t)
    envelope = np.minimum(1.0, t / 0.008) * np.exp(-t / 0.5) * np.minimum(1.0, (length - t) / 0.02)
    return wave * envelope * 0.32


def chord(notes, length):
    t = np.arange(int(length * RATE)) / RATE
    out = np.zeros_like(t)
    for note in notes:
        f = midi_hz(note)
        for detune in (0.998, 1.002):
            out += np.sin(2 * np.pi * f * detune * t) + 0.3 * np.sin(4 * np.pi * f * detune * t)
    envelope = np.minimum(1.0, t / 0.06) * np.exp(-t / 1.8) * np.minimum(1.0, (length - t) / 0.05)
    return out * envelope * 0.035


def render():
    rng = np.random.default_rng(20240611)
    beats, end = beat_grid()
    out = np.zeros(int((end + TAIL) * RATE))
    for index, (t, position, period) in enumerate(beats):
        bar = index // 4
        root, third, fifth = CHORDS[bar % len(CHORDS)]
        velocity = 0.9 + 0.1 * rng.uniform()
        if position in (1, 3):
            add(out, t, kick(rng) * velocity)
        else:
            add(out, t, snare(rng) * velocity)
        if position == 4 and bar % 2 == 1:  # a pick-up kick on the last off-beat
            add(out, t + period / 2, kick(rng) * 0.6)
        add(out, t, hat(rng, 0.05) * velocity)
        add(out, t + period / 2, hat(rng, 0.04) * 0.7)
        # Bass: root on 1 and 3, fifth on the off-beat of 2, octave on 4.
        bass = {1: root - 24, 2: fifth - 24, 3: root - 24, 4: root - 12}[position]
        start = t + (period / 2 if position == 2 else 0.0)
        add(out, start, bass_note(bass, period * (0.5 if position == 2 else 0.9)))
        if position == 1:
            add(out, t, chord((root, third, fifth, root + 12), 4 * period))
    out *= 0.8 / np.max(np.abs(out))
    return out, beats


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="data/demo.flac")
    parser.add_argument("--truth", help="also write the placed beats (TIME<TAB>POSITION)")
    args = parser.parse_args()
    audio, beats = render()
    soundfile.write(args.output, audio, RATE, subtype="PCM_16", format="FLAC")
    if args.truth:
        with open(args.truth, "w") as f:
            for t, position, _ in beats:
                f.write("%.3f\t%d\n" % (t, position))
    change = LEAD_IN + SECTIONS[0][1] * 4 * 60.0 / SECTIONS[0][0]
    print("%s: %.2f s, %d beats; %g BPM, from %.3f s %g BPM" %
          (args.output, len(audio) / RATE, len(beats), SECTIONS[0][0], change, SECTIONS[1][0]))


if __name__ == "__main__":
    main()
