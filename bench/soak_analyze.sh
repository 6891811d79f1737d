#!/usr/bin/env bash
# `kadenzo analyze` over ever longer files: CPU time per minute of audio and
# peak memory must stay flat from minutes to hours.
#
#   bash bench/soak_analyze.sh [KADENZO [MINUTES...]]   (default: ./build/tools/kadenzo, 5 60 600)
#
# The files are drum music (one minute, written again and again) under a
# temporary folder that is removed at the end; 10 hours take 3.2 GB.
set -euo pipefail
kadenzo=${1:-./build/tools/kadenzo}
shift || true
lengths=("$@")
[ ${#lengths[@]} -gt 0 ] || lengths=(5 60 600)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%10s %18s %10s\n' "minutes" "CPU s / audio min" "peak MiB"
for minutes in "${lengths[@]}"; do
    file="$work/soak-$minutes.wav"
    /usr/bin/python3 - "$file" "$minutes" <<'PY'
import sys
import numpy as np
import soundfile as sf

path, minutes = sys.argv[1], int(sys.argv[2])
fs = 44100
rng = np.random.default_rng(1)
t = np.arange(int(0.3 * fs)) / fs
kick = np.sin(2 * np.pi * (50 + 90 * np.exp(-t / 0.03)) * t) * np.exp(-t / 0.12)
snare = rng.uniform(-1, 1, t.size) * np.exp(-t / 0.07) * 0.5
hat = rng.uniform(-1, 1, int(0.05 * fs)) * np.exp(-np.arange(int(0.05 * fs)) / fs / 0.015) * 0.2
minute = np.zeros(60 * fs)
beat = 60.0 / 123.0
for k in range(int(60 / beat)):
    at = int((0.05 + k * beat) * fs)
    hit = kick if k % 2 == 0 else snare
    end = min(minute.size, at + hit.size)
    minute[at:end] += hit[: end - at]
    for half in (0, 0.5):
        h = int((0.05 + (k + half) * beat) * fs)
        e = min(minute.size, h + hat.size)
        minute[h:e] += hat[: e - h]
minute = (0.5 * minute / np.abs(minute).max()).astype(np.float32)
with sf.SoundFile(path, "w", fs, 1, "PCM_16") as out:
    for _ in range(minutes):
        out.write(minute)
PY
    stats=$("$kadenzo" analyze --beats --quiet --stats "$file" 2>&1 >/dev/null | grep '^stats:')
    cpu=$(sed -E 's/.*CPU time ([0-9.]+) s.*/\1/' <<<"$stats")
    rss=$(sed -E 's/.*peak RSS ([0-9.]+) MiB.*/\1/' <<<"$stats")
    printf '%10s %18.4f %10s\n' "$minutes" "$(/usr/bin/python3 -c "print($cpu / $minutes)")" "$rss"
    rm -f "$file"
done
