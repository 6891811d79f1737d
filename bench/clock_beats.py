#!/usr/bin/env python3
"""The beats of a MIDI clock, from a `kadenzo render --log` file: from the first
Clock after each Start, every 24th Clock (a Stop ends the run), one time a line,
as the development kit's beat scorer reads them.

    /usr/bin/python3 bench/clock_beats.py RENDER.log > BEATS.txt
"""
import sys


def clock_beats(lines):
    beats, clocks, running = [], 0, False
    for line in lines:
        parts = line.split("\t")
        if len(parts) != 2:
            continue
        time, status = float(parts[0]), parts[1].split()[0]
        if status == "FA":
            running, clocks = True, 0
        elif status == "FC":
            running = False
        elif status == "F8" and running:
            if clocks % 24 == 0:
                beats.append(time)
            clocks += 1
    return beats


if __name__ == "__main__":
    with open(sys.argv[1]) as log:
        for t in clock_beats(log):
            print(f"{t:.4f}")
