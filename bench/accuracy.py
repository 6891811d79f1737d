#!/usr/bin/env python3
"""Tracking accuracy of each tracking model on the development kit, in one table.

    /usr/bin/python3 bench/accuracy.py --devkit ../shared/devkit --synth-dir /tmp/devset/synth \
        [--kadenzo ./build/tools/kadenzo] [--models classic,enhanced] [--set all] [--jobs 2]

For every model and set it runs the kit's scorers over
  - `kadenzo analyze --beats` (beat F, AMLt, downbeat F),
  - the MIDI clock of `kadenzo render` (its beats: Start and every 24th Clock after it),
  - the clock metrics of the kit (median |beat - truth|, Start error, re-lock after a
    tempo step, 4-beat tempo error),
and the CPU time `kadenzo analyze` takes. The kit's own tables (overall, by tag, per
piece) go to --out-dir; read the per-piece ones to see where a change helps and where
it hurts. The kit's data stays where it is: nothing of it enters the project.
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, text=True, capture_output=True, **kwargs)


def scorer(devkit, script, args, out_dir):
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    return run([python, os.path.join(devkit, script)] + args + ["--out-dir", out_dir])


def summary_of(path):
    with open(path) as f:
        return json.load(f)["summary"]


def wav_files(devkit, synth_dir, which):
    files = []
    if which in ("synth", "all"):
        folder = os.path.join(synth_dir, "wav")
        files += [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".wav")]
    if which in ("real", "all"):
        folder = os.path.join(devkit, "real", "audio")
        files += [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".wav")]
    return files


def cpu_seconds(kadenzo, model_args, files):
    """CPU time of `kadenzo analyze` over the files, and the audio duration."""
    cpu = audio = 0.0
    for path in files:
        done = run([kadenzo, "analyze", "--beats", "--quiet", "--stats"] + model_args + [path])
        m = re.search(r"stats: ([0-9.]+) s of audio.*CPU time ([0-9.]+) s", done.stderr)
        if m:
            audio += float(m.group(1))
            cpu += float(m.group(2))
    return cpu, audio


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--devkit", required=True, help="the development kit's folder")
    parser.add_argument("--synth-dir", required=True, help="the generated synthetic set")
    parser.add_argument("--kadenzo", default=os.path.join(HERE, "..", "build", "tools", "kadenzo"))
    parser.add_argument("--models", default="classic,enhanced",
                        help="comma-separated tracking models; 'default' runs without --model")
    parser.add_argument("--set", default="all", choices=["synth", "real", "all"])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--out-dir", default=os.path.join(tempfile.gettempdir(), "kadenzo-accuracy"))
    parser.add_argument("--no-cpu", action="store_true", help="skip the CPU time pass")
    args = parser.parse_args()
    kadenzo = os.path.abspath(args.kadenzo)
    os.makedirs(args.out_dir, exist_ok=True)
    sets = ["synth", "real"] if args.set == "all" else [args.set]
    clock_beats = os.path.join(HERE, "clock_beats.py")

    rows = []
    for model in args.models.split(","):
        model_args = [] if model == "default" else ["--model", model]
        flags = " ".join(shlex.quote(a) for a in model_args)
        k = shlex.quote(kadenzo)
        common = ["--synth-dir", args.synth_dir, "--set", args.set, "--jobs", str(args.jobs)]
        name = "analyze-" + model
        scorer(args.devkit, "evaluate.py",
               ["--cmd", f"{k} analyze --beats --quiet {flags} {{wav}}", "--name", name] + common,
               args.out_dir)
        beats = summary_of(os.path.join(args.out_dir, f"{name}_{args.set}.json"))
        name = "clock-" + model
        render_beats = (f"{k} render {{wav}} {flags} --log {{out}}.log >/dev/null && "
                        f"/usr/bin/python3 {shlex.quote(clock_beats)} {{out}}.log > {{out}}")
        scorer(args.devkit, "evaluate.py", ["--cmd", render_beats, "--name", name] + common,
               args.out_dir)
        clock = summary_of(os.path.join(args.out_dir, f"{name}_{args.set}.json"))
        name = "metrics-" + model
        scorer(args.devkit, "clock_metrics.py",
               ["--cmd", f"{k} render {{wav}} {flags} --log {{log}}", "--name", name] + common,
               args.out_dir)
        metrics = summary_of(os.path.join(args.out_dir, f"{name}_clock_{args.set}.json"))
        for s in sets:
            cpu = audio = None
            if not args.no_cpu:
                cpu, audio = cpu_seconds(kadenzo, model_args, wav_files(args.devkit, args.synth_dir, s))
            rows.append((model, s, beats[s], clock[s], metrics[s], cpu, audio))

    def num(value, fmt):
        return "-" if value is None else format(value, fmt)

    print("| model | set | beat F | AMLt | downbeat F | clock F | median |beat-truth| ms | "
          "Start error ms | re-lock s | 4-beat tempo error % | CPU s per audio min |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    for model, s, b, c, m, cpu, audio in rows:
        print(f"| {model} | {s} | {num(b.get('F'), '.3f')} | {num(b.get('AMLt'), '.3f')} | "
              f"{num(b.get('DbF'), '.3f')} | {num(c.get('F'), '.3f')} | "
              f"{num(m.get('abs_ms'), '.1f')} | {num(m.get('start_ms'), '.1f')} | "
              f"{num(m.get('relock_s'), '.1f')} | "
              f"{num(None if m.get('tempo_err') is None else 100 * m['tempo_err'], '.2f')} | "
              f"{num(None if not audio else 60.0 * cpu / audio, '.3f')} |")
    print(f"\nTables per piece and tag: {args.out_dir}")


if __name__ == "__main__":
    main()
