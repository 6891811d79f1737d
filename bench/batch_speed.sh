#!/usr/bin/env bash
# Batch analysis of a library: wall time for N files of 30 s (default 200)
# with one worker and with one per core, and the speed-up.
#
#   bash bench/batch_speed.sh [KADENZO [FILES]]      (default: ./build/tools/kadenzo 200)
set -euo pipefail
kadenzo=${1:-./build/tools/kadenzo}
count=${2:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$work/lib" "$count" <<'PY'
import os, sys
import numpy as np
import soundfile as sf
folder, count = sys.argv[1], int(sys.argv[2])
os.makedirs(folder)
fs, seconds = 44100, 30
rng = np.random.default_rng(2)
t = np.arange(int(0.25 * fs)) / fs
kick = np.sin(2 * np.pi * (50 + 90 * np.exp(-t / 0.03)) * t) * np.exp(-t / 0.1)
for k in range(count):
    bpm = 70 + (k * 37) % 110
    x = 0.02 * rng.standard_normal(fs * seconds)
    beat = 60.0 / bpm
    for i in range(int(seconds / beat)):
        at = int((0.1 + i * beat) * fs)
        end = min(x.size, at + kick.size)
        x[at:end] += (0.8 if i % 2 == 0 else 0.5) * kick[: end - at]
    sf.write(os.path.join(folder, f"piece{k:04d}.wav"), (0.5 * x / np.abs(x).max()).astype(np.float32), fs, subtype="PCM_16")
PY

cores=$(nproc)
run() {  # run JOBS: wall seconds of a whole batch
    rm -f "$work/out.jsonl"
    local start end
    start=$(date +%s.%N)
    "$kadenzo" analyze "$work/lib" --quiet --jobs "$1" --jsonl "$work/out.jsonl"
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}
one=$(run 1)
all=$(run "$cores")
lines=$(wc -l < "$work/out.jsonl")
printf 'files: %s of 30 s (%s lines written)\n' "$count" "$lines"
printf '%-24s %10.2f s\n' "--jobs 1" "$one"
printf '%-24s %10.2f s\n' "--jobs $cores (all cores)" "$all"
awk -v one="$one" -v all="$all" -v cores="$cores" -v n="$count" \
    'BEGIN { printf "speed-up: %.2fx on %s cores; %.0fx real time for the batch\n", one / all, cores, n * 30 / all }'
