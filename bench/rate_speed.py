#!/usr/bin/python3
"""Real-time factor per CPU-second of `kadenzo analyze` at several file rates,
side by side with `aubio beat` on the same files in the same run.

Makes a five-minute mono file at 44100 Hz (from the WAVs in --source-dir,
concatenated, or else synthetic drum music), converts it to the other rates
with scipy's polyphase resampler, then runs each command --repeat times per
file and keeps the least CPU time (user + system of the child, from
getrusage), which is the figure least disturbed by other load on a shared
machine. Prints one table row per rate; nothing is asserted.

    bench/rate_speed.py --kadenzo build/tools/kadenzo [--source-dir DIR] [--models classic,enhanced]
"""
import argparse
import glob
import os
import resource
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import soundfile as sf
from scipy.signal import resample_poly

RATES = [44100, 22050, 48000, 96000]
# (up, down) factors from 44100 Hz.
RATIOS = {22050: (1, 2), 48000: (160, 147), 96000: (320, 147)}


def synthetic_drums(seconds, rate, bpm=123.0, seed=5):
    """Kick on 1 and 3, snare on 2 and 4, closed hat on every eighth, a bass tone."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    x = np.zeros(n)
    beat = 60.0 / bpm

    def add(at, sound):
        i = int(at * rate)
        if i >= n:
            return
        m = min(len(sound), n - i)
        x[i:i + m] += sound[:m]

    t = np.arange(int(0.25 * rate)) / rate
    kick = np.sin(2 * np.pi * (50 + 80 * np.exp(-t * 30)) * t) * np.exp(-t * 12)
    snare = rng.standard_normal(len(t)) * np.exp(-t * 25) * 0.5 + \
        np.sin(2 * np.pi * 190 * t) * np.exp(-t * 20) * 0.3
    hat = rng.standard_normal(int(0.05 * rate)) * np.exp(-np.arange(int(0.05 * rate)) / rate * 90) * 0.2
    k = 0
    while k * beat / 2 < seconds:
        at = k * beat / 2
        add(at, hat * (1.0 if k % 2 == 0 else 0.6))
        if k % 2 == 0:
            add(at, kick if (k // 2) % 2 == 0 else snare)
        k += 1
    return 0.5 * x / np.max(np.abs(x))


def five_minute_source(source_dir, seconds):
    if source_dir:
        parts, total = [], 0
        for path in sorted(glob.glob(os.path.join(source_dir, "*.wav"))):
            data, rate = sf.read(path, always_2d=True)
            if rate != 44100:
                continue
            parts.append(data.mean(axis=1))
            total += len(parts[-1])
            if total >= seconds * 44100:
                break
        if total >= seconds * 44100:
            return np.concatenate(parts)[:int(seconds * 44100)]
        print(f"rate_speed: under {seconds} s of 44.1 kHz WAV in {source_dir}; using synthetic drums",
              file=sys.stderr)
    return synthetic_drums(seconds, 44100)


def child_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def least_cpu(command, repeat):
    best = None
    for _ in range(repeat):
        before = child_cpu()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        spent = child_cpu() - before
        best = spent if best is None else min(best, spent)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kadenzo", default="build/tools/kadenzo")
    parser.add_argument("--aubio", default=shutil.which("aubio"))
    parser.add_argument("--source-dir", help="44.1 kHz WAVs to concatenate (default: synthetic)")
    parser.add_argument("--seconds", type=float, default=300.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--work-dir", help="where the test files go (default: a temporary folder)")
    parser.add_argument("--models", default="",
                        help="tracking models to time, comma-separated (default: the command "
                             "line's default model only)")
    args = parser.parse_args()

    work = args.work_dir or tempfile.mkdtemp(prefix="kadenzo-rate-speed-")
    os.makedirs(work, exist_ok=True)
    base = five_minute_source(args.source_dir, args.seconds)
    files = {}
    for rate in RATES:
        path = os.path.join(work, f"bench_{rate}.wav")
        data = base if rate == 44100 else resample_poly(base, *RATIOS[rate])
        sf.write(path, np.clip(data, -1.0, 1.0), rate, subtype="PCM_16")
        files[rate] = path

    print(f"{args.seconds:.0f} s mono 16-bit files; least CPU time of {args.repeat} runs; "
          "real-time factor = audio seconds / CPU seconds")
    models = [m for m in args.models.split(",") if m] or [None]
    header = f"{'rate':>7}  {'model':>8}  {'kadenzo CPU s':>13}  {'kadenzo x':>9}  {'vs 44.1k':>8}"
    if args.aubio:
        header += f"  {'aubio CPU s':>11}  {'aubio x':>8}"
    print(header)
    reference = {}
    for rate in RATES:
        aubio = least_cpu([args.aubio, "beat", files[rate]], args.repeat) if args.aubio else None
        for model in models:
            command = [args.kadenzo, "analyze", "--beats", "--quiet"]
            if model:
                command += ["--model", model]
            cpu = least_cpu(command + [files[rate]], args.repeat)
            reference.setdefault(model, cpu)
            row = (f"{rate:>7}  {model or 'default':>8}  {cpu:>13.3f}  {args.seconds / cpu:>9.0f}  "
                   f"{cpu / reference[model]:>8.2f}")
            if aubio is not None:
                row += f"  {aubio:>11.3f}  {args.seconds / aubio:>8.0f}"
            print(row, flush=True)
    if not args.work_dir:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
