#!/usr/bin/env python3
"""OSC beat messages against the MIDI clock's beats of the same render: reads
a `kadenzo render --log` file and the `--osc-log` file of the same run and
prints, for the beats of the running clock, how far each /beat message's
sending time (its time tag less the anti-delay) lies from the MIDI clock's
beat, and how many OSC beats fall on one MIDI beat.

    /usr/bin/python3 bench/osc_vs_clock.py RENDER.log OSC.log [PREFIX]
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from clock_beats import clock_beats  # noqa: E402


def osc_beats(lines, prefix):
    sent, tags = [], []
    for line in lines:
        parts = line.rstrip("\n").split("\t")
        if len(parts) >= 4 and parts[2] == prefix + "/beat":
            tags.append(float(parts[0]))
            sent.append(float(parts[1]))
    return np.array(sent), np.array(tags)


def main():
    prefix = sys.argv[3] if len(sys.argv) > 3 else "/kadenzo"
    with open(sys.argv[1]) as f:
        midi = np.array(clock_beats(f))
    with open(sys.argv[2]) as f:
        sent, tags = osc_beats(f, prefix)
    if len(midi) == 0 or len(sent) == 0:
        print("no beats")
        return 1
    nearest = np.abs(sent[:, None] - midi[None, :]).argmin(axis=1)
    errors_ms = np.abs(sent - midi[nearest]) * 1000.0
    per_beat = np.bincount(nearest, minlength=len(midi))
    print(f"midi beats {len(midi)}  osc beats {len(sent)}  "
          f"error p50 {np.percentile(errors_ms, 50):.4f} ms  "
          f"p99 {np.percentile(errors_ms, 99):.4f} ms  max {errors_ms.max():.4f} ms  "
          f"most per midi beat {per_beat.max()}  midi beats without one {(per_beat == 0).sum()}  "
          f"anti-delay {np.median(tags - sent) * 1000:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
