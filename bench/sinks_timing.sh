#!/bin/sh
# Timing of the outputs beside MIDI against the MIDI clock.
#  - OSC: renders synthetic drums at several tempi with --log and --osc-log
#    and compares every /beat message with the MIDI clock's beat
#    (bench/osc_vs_clock.py).
#  - Ableton Link: runs the Link test (a second peer in a private network
#    namespace, a 120 BPM render replayed in real time) and prints its
#    figures: the peer's beat phase error at the MIDI clock's beats and its
#    tempo error after lock.
# Usage: bench/sinks_timing.sh [BUILD_DIR]   (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
kadenzo=$build/tools/kadenzo
work=$(mktemp -d /tmp/kadenzo-sinks-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

for spec in "97 4 0" "120 4 25" "150 3 40" "174 4 10"; do
    set -- $spec
    /usr/bin/python3 - "$work/song.wav" "$1" "$2" <<'PY'
import sys
import numpy as np
import soundfile as sf
path, bpm, per_bar = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
sr, seconds, first = 44100, 40.0, 0.3
x = np.zeros(int(sr * seconds))
rng = np.random.default_rng(1)
n = np.arange(int(0.25 * sr))
kick = np.sin(2 * np.pi * (50 + 90 * np.exp(-n / 800.0)) * n / sr) * np.exp(-n / 4000.0)
hat = rng.uniform(-1, 1, 2000) * np.exp(-np.arange(2000) / 300.0)
beat = 60.0 / bpm
k = 0
while first + k * beat < seconds - 0.3:
    i = int((first + k * beat) * sr)
    x[i:i + len(kick)] += (0.9 if k % per_bar == 0 else 0.5) * kick[:len(x) - i]
    j = int((first + (k + 0.5) * beat) * sr)
    x[j:j + len(hat)] += 0.2 * hat[:max(0, len(x) - j)]
    k += 1
sf.write(path, x / np.abs(x).max() * 0.8, sr)
PY
    "$kadenzo" render "$work/song.wav" --anti-delay "$3" --log "$work/midi.log" \
        --osc-log "$work/osc.log" >/dev/null
    printf 'OSC %s BPM %s/bar anti-delay %s ms: ' "$1" "$2" "$3"
    /usr/bin/python3 "$here/osc_vs_clock.py" "$work/midi.log" "$work/osc.log"
done

echo "OSC live sink to a receiver on 127.0.0.1:"
"$build/tests/test_osc_output" --gtest_filter='OscLiveSink.*' 2>&1 | grep "osc live figures"

echo "Ableton Link (about 40 s):"
"$build/tests/test_link_output" --gtest_filter='LinkOutput.APeer*' 2>&1 |
    grep -E "link figures|Skipped|cannot make" | head -n 1
