#!/usr/bin/python3
"""How well the performer's controls fix a wrong lock, on an annotated set of pieces.

For every piece, `kadenzo render --log` without controls and with scripted ones:
  tap    four taps on the true beats from the first beat at or after 8 s, with up to
         +-10 ms of error; beat F (+-70 ms) of the clock's beats (every 24th Clock) from
         2 s after the last tap to the end, and the time from the last tap until four
         clock beats in a row sit on four true beats in a row
  tempo  "tempo 2" at 10 s, "tempo 1/2" at 18 s: the clock's beat against the plain
         render's, between them and after
  bar1   "bar1" on the true downbeat nearest 10 s (with the bar notes on): downbeat F
         of the bar notes from 2 s after it
and, for every controlled render, the Starts and Stops, and the Clocks counted over a
window against the Clocks per beat times the true beats in it.

  bench/controls_devset.py --devkit DIR --set-dir DIR [--kadenzo build/tools/kadenzo]
                           [--work DIR] [--jobs 2]

--devkit is the folder of the development kit's scorers (evaluate.py and
clock_metrics.py); --set-dir the generated set with its manifest.json. Prints a summary;
the renders and a per-piece table (rows.json) stay in --work."""
import argparse, concurrent.futures, json, os, subprocess, sys, tempfile, zlib

import numpy as np

TAP_AT, BAR_AT, WINDOW = 8.0, 10.0, 0.07


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--devkit", required=True)
    ap.add_argument("--set-dir", required=True)
    ap.add_argument("--kadenzo", default="build/tools/kadenzo")
    ap.add_argument("--work", default=None)
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    sys.path.insert(0, os.path.abspath(a.devkit))
    global ev, cm, mir_eval
    import evaluate as ev  # noqa: E402
    import clock_metrics as cm  # noqa: E402
    import mir_eval  # noqa: E402
    ev.SYNTH_DIR = os.path.abspath(a.set_dir)
    work = a.work or tempfile.mkdtemp(prefix="kadenzo-controls-")
    os.makedirs(work, exist_ok=True)
    kadenzo = os.path.abspath(a.kadenzo)
    pieces = ev.load_set("synth", None)
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
        rows = list(pool.map(lambda p: measure(p, kadenzo, work), pieces))
    with open(os.path.join(work, "rows.json"), "w") as f:
        json.dump(rows, f, indent=1)
    summarize(rows)
    print("renders and rows.json in", work)


def render(kadenzo, work, wav, name, controls=None, notes=False):
    log = os.path.join(work, name + ".txt")
    cmd = [kadenzo, "render", wav, "--log", log]
    if notes:
        cmd.append("--notes")
    if controls is not None:
        script = os.path.join(work, name + ".ctl")
        with open(script, "w") as f:
            f.write(controls)
        cmd += ["--controls", script]
    subprocess.run(cmd, capture_output=True, check=True, timeout=600)
    return cm.parse_log(log)


def clocks(events):
    return np.asarray([t for t, b in events if b == "F8"])


def clock_beats(events):
    beats = []
    for _, run in cm.clock_runs(events):
        beats += run[::24]
    return np.asarray(beats)


def bar_notes(work, name):
    """Note On times of the bar note (64) in a render's log."""
    times = []
    with open(os.path.join(work, name + ".txt")) as f:
        for line in f:
            parts = line.split("\t")
            if len(parts) == 2 and parts[1].split()[:2] == ["90", "40"]:
                times.append(float(parts[0]))
    return np.asarray(times)


def f_measure(ref, est, t0):
    r, e = ref[ref >= t0], est[est >= t0]
    if len(r) == 0:
        return None
    return float(mir_eval.beat.f_measure(r, e, WINDOW)) if len(e) else 0.0


def seconds_to_fix(ref, beats, t0):
    """From t0 until four clock beats in a row sit on four consecutive true beats."""
    b = beats[beats >= t0]
    if len(b) < 4:
        return None
    i = np.clip(np.searchsorted(ref, b), 1, len(ref) - 1)
    near = np.where(np.abs(b - ref[i - 1]) <= np.abs(b - ref[i]), i - 1, i)
    on = np.abs(b - ref[near]) <= WINDOW
    for k in range(len(b) - 3):
        if on[k:k + 4].all() and np.all(np.diff(near[k:k + 4]) == 1):
            return float(b[k] - t0)
    return None


def clock_surplus(c, ref, t0, t1, per_beat):
    """Clocks over the true beats in [t0, t1] (half a Clock before each end) less
    per_beat times the beats: 0 when none is missing or extra, +-1 at the window's edges."""
    r = ref[(ref >= t0) & (ref <= t1)]
    if len(r) < 4:
        return None
    lo, hi = r[0] - (r[1] - r[0]) / (2 * per_beat), r[-1] - (r[-1] - r[-2]) / (2 * per_beat)
    return int(np.sum((c >= lo) & (c < hi))) - per_beat * (len(r) - 1)


def median_beat(beats, t0, t1):
    b = beats[(beats >= t0) & (beats < t1)]
    return float(np.median(np.diff(b))) if len(b) > 2 else None


def measure(piece, kadenzo, work):
    pid, wav = piece["id"], piece["wav_path"]
    ref, downs = ev.read_ref(piece["ref_path"])
    ref = np.asarray(ref, float)
    downs = np.asarray(downs if downs is not None else [], float)
    tags = piece.get("tags", [])
    steady = not any(t in tags for t in ("tempo-step", "tempo-ramp", "rubato"))
    rng = np.random.default_rng(zlib.crc32(pid.encode()))
    row = {"id": pid, "tags": tags, "steady": steady}
    plain = render(kadenzo, work, wav, pid + "_plain", notes=True)
    plain_beats = clock_beats(plain)

    first = int(np.searchsorted(ref, TAP_AT))
    taps = ref[first:first + 4] + rng.uniform(-0.010, 0.010, 4)
    after_taps = taps[-1] + 2.0
    tapped = render(kadenzo, work, wav, pid + "_tap", "".join(f"{t:.4f} tap\n" for t in taps))
    tapped_beats = clock_beats(tapped)
    row.update(F_plain=f_measure(ref, plain_beats, after_taps), F_tap=f_measure(ref, tapped_beats, after_taps),
               fix_s=seconds_to_fix(ref, tapped_beats, taps[-1]),
               tap_starts_stops=[sum(b == "FA" for _, b in tapped), sum(b == "FC" for _, b in tapped)],
               tap_surplus=clock_surplus(clocks(tapped), ref, after_taps, 1e9, 24),
               plain_surplus=clock_surplus(clocks(plain), ref, after_taps, 1e9, 24))

    factors = render(kadenzo, work, wav, pid + "_tempo", "10 tempo 2\n18 tempo 1/2\n")
    fb = clock_beats(factors)
    mid, back = median_beat(fb, 12, 18), median_beat(fb, 20, 1e9)
    pmid, pback = median_beat(plain_beats, 12, 18), median_beat(plain_beats, 20, 1e9)
    row.update(ratio_x2=mid / pmid if mid and pmid else None, ratio_back=back / pback if back and pback else None,
               tempo_starts_stops=[sum(b == "FA" for _, b in factors), sum(b == "FC" for _, b in factors)],
               x2_surplus=clock_surplus(clocks(factors), ref, 12, 18, 48),
               back_surplus=clock_surplus(clocks(factors), ref, 20, 1e9, 24))

    if len(downs):
        press = float(downs[np.argmin(np.abs(downs - BAR_AT))])
        bar_one = render(kadenzo, work, wav, pid + "_bar1", f"{press:.4f} bar1\n", notes=True)
        row.update(DF_plain=f_measure(downs, bar_notes(work, pid + "_plain"), press + 2.0),
                   DF_bar1=f_measure(downs, bar_notes(work, pid + "_bar1"), press + 2.0),
                   bar1_starts_stops=[sum(b == "FA" for _, b in bar_one), sum(b == "FC" for _, b in bar_one)])
    return row


def spread(values):
    v = [x for x in values if x is not None]
    u, n = np.unique(v, return_counts=True)
    return ", ".join(f"{int(a):+d}: {int(b)}" for a, b in zip(u, n))


def summarize(rows):
    print(f"{len(rows)} pieces")
    wrong = [r for r in rows if r["F_plain"] is not None and r["F_plain"] < 0.9]
    right = [r for r in rows if r["F_plain"] is not None and r["F_plain"] >= 0.9]
    fixed = [r for r in wrong if r["F_tap"] >= 0.9]
    print(f"tap: {len(wrong)} pieces with a wrong lock (beat F < 0.9 from 2 s after the taps);"
          f" mean beat F {np.mean([r['F_plain'] for r in wrong]):.3f} -> {np.mean([r['F_tap'] for r in wrong]):.3f},"
          f" {len(fixed)} reach 0.9")
    times = [r["fix_s"] for r in wrong if r["fix_s"] is not None]
    if times:
        print(f"     on the true beats {np.median(times):.2f} s after the last tap (median), at most {max(times):.2f} s")
    for r in wrong:
        if r["F_tap"] < 0.9:
            print(f"     not fixed: {r['id']} {r['F_plain']:.2f} -> {r['F_tap']:.2f} {' '.join(r['tags'])}")
    print(f"     {len(right)} pieces already right: {sum(r['F_tap'] >= 0.9 for r in right)} stay at 0.9 or more")
    print(f"     all pieces: mean beat F {np.mean([r['F_plain'] for r in rows]):.3f} -> {np.mean([r['F_tap'] for r in rows]):.3f}")
    ok = [r for r in rows if r["ratio_x2"] and r["ratio_back"]]
    print(f"tempo 2, tempo 1/2: clock beat 1/2 (+-2 %) of the plain one in {sum(abs(r['ratio_x2'] - 0.5) < 0.01 for r in ok)}"
          f" of {len(ok)} pieces, back to 1 (+-2 %) in {sum(abs(r['ratio_back'] - 1) < 0.02 for r in ok)}")
    bars = [r for r in rows if r.get("DF_bar1") is not None and r["F_plain"] >= 0.9]
    if bars:
        print(f"bar1 on pieces whose clock beats are right ({len(bars)}): downbeat F >= 0.9 in"
              f" {sum(r['DF_plain'] >= 0.9 for r in bars)} -> {sum(r['DF_bar1'] >= 0.9 for r in bars)};"
              f" mean {np.mean([r['DF_plain'] for r in bars]):.3f} -> {np.mean([r['DF_bar1'] for r in bars]):.3f}")
    runs = [tuple(r[k]) for r in rows for k in ("tap_starts_stops", "tempo_starts_stops", "bar1_starts_stops") if k in r]
    print(f"Starts and Stops per controlled render: {sorted(set(runs))} over {len(runs)} renders")
    steady = [r for r in rows if r["steady"]]
    print("Clocks counted less Clocks per beat x true beats, steady pieces (pieces per value):")
    print("     no controls, after the taps' time: ", spread(r["plain_surplus"] for r in steady if r["F_plain"] >= 0.9))
    print("     after taps that fixed the lock:    ", spread(r["tap_surplus"] for r in steady if r["F_tap"] >= 0.9))
    good = [r for r in steady if r["F_plain"] >= 0.9 and r["ratio_x2"] and abs(r["ratio_x2"] - 0.5) < 0.01]
    print("     during tempo 2 (48 a beat):        ", spread(r["x2_surplus"] for r in good))
    print("     after tempo 1/2:                   ", spread(r["back_surplus"] for r in good))


if __name__ == "__main__":
    main()
