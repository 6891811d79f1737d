#!/usr/bin/python3
"""MIDI clock timing and CPU of `kadenzo live` through a JACK server of its own.

A dummy JACK server (44100 Hz, 128-frame periods unless --period says
otherwise) carries synthetic drums at 120 BPM into `kadenzo live`, whose MIDI
goes to `jack_midi_dump -a` (frame time stamps: the frame of the cycle plus
the event's offset, so sub-period timing is seen). Over the measured span it reports:

- the second difference of consecutive Clock frames, t[i+1] - 2 t[i] + t[i-1]
  (how much one clock interval differs from the one before), p50, p99 and
  max in milliseconds, within each Start..Stop run;
- the frames between each Start and the first Clock after it (0: same frame);
- the frames from the last Clock to the Stop (the Stop comes after it in
  order; 0 is the same frame);
- the CPU time of the whole `kadenzo live` process from /proc over the span,
  as a share of one core.

Usage:
  bench/jack_clock.py --kadenzo build/tools/kadenzo [--seconds 300] [--period N] [--realtime] [--json OUT]
                      [-- EXTRA kadenzo live OPTIONS]

Needs jackd2, sndfile-tools, python3-numpy and python3-scipy (run with /usr/bin/python3). Every
process it starts is stopped by its process id.
"""
import argparse
import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy.io import wavfile

RATE = 44100
PERIOD = 128
BPM = 120.0


def drums(seconds, seed=1):
    """Kick on 1 and 3, snare on 2 and 4, hi-hat on every eighth, 4/4."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    out = np.zeros(n)
    beat = 60.0 / BPM
    first = 0.3

    def add(at, sound):
        start = int(at * RATE)
        end = min(n, start + len(sound))
        if start < n:
            out[start:end] += sound[: end - start]

    t = np.arange(int(0.35 * RATE)) / RATE
    kick = np.exp(-t / 0.12) * np.sin(2 * np.pi * np.cumsum(50 + 90 * np.exp(-t / 0.03)) / RATE)
    ts = np.arange(int(0.25 * RATE)) / RATE
    snare = 0.5 * np.exp(-ts / 0.06) * rng.uniform(-1, 1, len(ts))
    th = np.arange(int(0.05 * RATE)) / RATE
    hat = 0.15 * np.exp(-th / 0.012) * rng.uniform(-1, 1, len(th))
    k = 0
    while first + k * beat < seconds:
        at = first + k * beat
        add(at, 0.9 * kick if k % 2 == 0 else snare)
        add(at, hat)
        add(at + beat / 2, hat)
        k += 1
    return (0.5 * out / max(1e-9, np.max(np.abs(out)))).astype(np.float32)


def spawn(args, log, env):
    return subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env,
                            start_new_session=True)


def stop(proc, grace=5.0):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def ports(env):
    out = subprocess.run(["jack_lsp"], env=env, capture_output=True, text=True).stdout
    return out.split()


def parse_dump(text):
    """(frame, first byte) of every message jack_midi_dump printed."""
    events = []
    for line in text.splitlines():
        m = re.match(r"\s*(\d+):\s*([0-9a-fA-F]{2})", line)
        if m:
            events.append((int(m.group(1)), int(m.group(2), 16)))
    return events


def analyse(events):
    runs, run = [], None
    start_gaps, stop_after_last = [], []
    for frame, status in events:
        if status == 0xFA:
            run = {"start": frame, "clocks": []}
            runs.append(run)
        elif status == 0xF8 and run is not None:
            run["clocks"].append(frame)
        elif status == 0xFC and run is not None:
            if run["clocks"]:
                # Frames from the last Clock to the Stop (0: the same frame,
                # the Stop after it in order).
                stop_after_last.append(int(frame - run["clocks"][-1]))
            run = None
    d2 = []
    for r in runs:
        c = np.array(r["clocks"], dtype=np.int64)
        if len(c) >= 3:
            d2.extend((c[2:] - 2 * c[1:-1] + c[:-2]).tolist())
        if len(c):
            start_gaps.append(int(c[0] - r["start"]))
    d2_ms = np.abs(np.array(d2, dtype=float)) * 1000.0 / RATE
    result = {
        "runs": len(runs),
        "clocks": int(sum(len(r["clocks"]) for r in runs)),
        "start_to_first_clock_frames": start_gaps,
        "stop_frames_after_last_clock": stop_after_last,
    }
    if len(d2_ms):
        result.update({
            "d2_p50_ms": float(np.percentile(d2_ms, 50)),
            "d2_p99_ms": float(np.percentile(d2_ms, 99)),
            "d2_max_ms": float(np.max(d2_ms)),
        })
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kadenzo", default="build/tools/kadenzo")
    parser.add_argument("--seconds", type=float, default=300.0,
                        help="measured span (default 300)")
    parser.add_argument("--lead-in", type=float, default=15.0,
                        help="music before the measured span, for the clock to start")
    parser.add_argument("--period", type=int, default=PERIOD,
                        help=f"frames per JACK period (default {PERIOD})")
    parser.add_argument("--realtime", action="store_true",
                        help="run the JACK server with real-time scheduling (jackd -R), as on "
                             "a rig; the default runs it without, as on a shared machine")
    parser.add_argument("--json", help="also write the results here")
    parser.add_argument("extra", nargs="*", help="more `kadenzo live` options (after --)")
    args = parser.parse_args()

    # One name for every run, held by a lock while it runs: JACK's registry has
    # room for eight servers and keeps the entry of a killed one until a
    # server of the same name starts, so a run that was killed leaves no
    # entry behind once the next one starts.
    lock = open(os.path.join(tempfile.gettempdir(), f"kadenzo-jack-bench-{os.getuid()}.lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        sys.exit("another jack_clock.py run is going on; wait for it to end")
    name = "kadenzo-bench"
    env = dict(os.environ, JACK_DEFAULT_SERVER=name, JACK_NO_START_SERVER="1")
    work = tempfile.mkdtemp(prefix="kadenzo-jack-clock-")
    wav = os.path.join(work, "drums.wav")
    wavfile.write(wav, RATE, drums(args.seconds + args.lead_in + 10.0))

    logs = {k: open(os.path.join(work, k + ".log"), "w") for k in ("jackd", "dump", "live", "play")}
    jackd = dump = live = play = None
    try:
        scheduling = "-R" if args.realtime else "-r"
        jackd = spawn(["jackd", "-n", name, scheduling, "-d", "dummy", "-r", str(RATE),
                       "-p", str(args.period)], logs["jackd"], env)
        subprocess.run(["jack_wait", "-w", "-t", "10"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        if jackd.poll() is not None:
            sys.exit(f"jackd could not start; a server named {name} may be left from a run "
                     f"that was killed (stop it); see {work}")
        dump = spawn(["jack_midi_dump", "-a", "kadenzo-bench-dump"], logs["dump"], env)
        if not wait_for(lambda: "kadenzo-bench-dump:input" in ports(env), 10):
            sys.exit("jack_midi_dump did not appear")
        live = spawn([args.kadenzo, "live", "--midi-port", "kadenzo-bench-dump:input"] +
                     args.extra, logs["live"], env)
        if not wait_for(lambda: "kadenzo:in_0" in ports(env), 20):
            sys.exit("kadenzo live did not register its input ports; see " + work)
        time.sleep(1.0)
        play = spawn(["sndfile-jackplay", "--autoconnect=kadenzo:in_0", wav], logs["play"], env)
        time.sleep(args.lead_in)
        if live.poll() is not None:
            sys.exit("kadenzo live ended early; see " + work)
        cpu0, wall0 = cpu_seconds(live.pid), time.monotonic()
        time.sleep(args.seconds)
        cpu1, wall1 = cpu_seconds(live.pid), time.monotonic()
        stop(live, 15.0)
        time.sleep(0.5)
    finally:
        for proc in (play, live, dump, jackd):
            stop(proc)
        for log in logs.values():
            log.close()

    result = analyse(parse_dump(open(os.path.join(work, "dump.log")).read()))
    result["cpu_percent_of_one_core"] = 100.0 * (cpu1 - cpu0) / (wall1 - wall0)
    result["measured_seconds"] = wall1 - wall0
    result["options"] = args.extra
    result["logs"] = work
    print(json.dumps(result, indent=2))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2)


if __name__ == "__main__":
    main()
