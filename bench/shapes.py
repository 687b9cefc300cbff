#!/usr/bin/env python3
"""Runs the rows of bench/shapes and prints their table.

    shapes.py SPANSIFT ROWS RUNS RESULTS_FOLDER

ROWS holds one row a line, tab-separated: label, input (export or folder),
run (whole or none), traces in the input, the aim for wall every / wall one,
whether that aim is only informational (0 or 1), and whether to warm up (0
or 1). Each row runs spansift on every processor this process may use and
on processor 0 alone, taking turns, RUNS times each; the output folder is
removed before each run, outside the timed part. Wall time is taken here
around /usr/bin/time, which gives the peak resident memory and CPU times.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from table import fmt_table  # the one table layout of the bench

MB = 1e6
NO_TRACE = "00000000000000000000000000000000"
MEMORY_RATIO, MEMORY_SLACK = 1.5, 64 * MB


def on_tmpfs(path):
    out = subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True, check=True)
    return out.stdout.strip() == "tmpfs"


def count_files(folder):
    if not os.path.exists(folder):
        return 0
    with os.scandir(folder) as entries:
        return sum(1 for _ in entries)


def remove(folder, sync):
    # rm is faster than shutil.rmtree on a million files.
    subprocess.run(["rm", "-rf", folder], check=True)
    if sync:
        os.sync()


def run_once(command, cpus, report):
    """Wall seconds, peak RSS bytes and CPU seconds of one run on `cpus`."""
    # The affinity is set here and inherited, so both variants start alike
    # (no taskset process in one of them).
    os.sched_setaffinity(0, cpus)
    try:
        with tempfile.TemporaryFile() as err:
            start = time.perf_counter()
            status = subprocess.run(["/usr/bin/time", "-o", report, "-f", "%M %U %S"] + command,
                                    stdout=subprocess.DEVNULL, stderr=err).returncode
            wall = time.perf_counter() - start
            if status != 0:
                err.seek(0)
                sys.exit(f"shapes: {' '.join(command)} failed ({status}):\n{err.read().decode(errors='replace')}")
    finally:
        os.sched_setaffinity(0, ALL_CPUS)
    with open(report) as f:
        rss_kb, user, system = f.read().split()[-3:]
    return wall, int(rss_kb) * 1024, float(user) + float(system)


def run_row(spansift, row, runs, report, sync):
    label, source, kind, traces, aim, informational, warmup = row
    command = [spansift, source] + (["-t", NO_TRACE] if kind == "none" else [])
    out = os.path.join(source if os.path.isdir(source) else os.path.dirname(source), "Jaeger")
    expected = int(traces) if kind == "whole" else 0
    variants = {"every": ALL_CPUS, "one": {min(ALL_CPUS)}}
    figures = {name: [] for name in variants}
    if warmup == "1":
        for cpus in variants.values():
            remove(out, sync)
            run_once(command, cpus, report)
    for r in range(runs):
        # Taking turns, the first variant alternating, so that a burst of load
        # from elsewhere falls on both alike.
        order = list(variants) if r % 2 == 0 else list(reversed(variants))
        for name in order:
            remove(out, sync)
            figures[name].append(run_once(command, variants[name], report))
            if r == 0:
                written = count_files(out)
                if written != expected:
                    sys.exit(f"shapes: {' '.join(command)} wrote {written} files, {expected} expected")
        print(f"  {label}, {kind}, round {r + 1}/{runs}: " +
              ", ".join(f"{name} {figures[name][-1][0]:.3f} s {figures[name][-1][1] / MB:.0f} MB" for name in order),
              flush=True)
    remove(out, False)
    return dict(label=label, kind=kind, source=source, traces=int(traces), aim=float(aim),
                informational=informational == "1", runs=figures)


def input_bytes(source):
    if os.path.isdir(source):
        return sum(e.stat().st_size for e in os.scandir(source) if e.name.endswith(".json"))
    return os.path.getsize(source)


def table(results):
    rows = []
    for res in results:
        med = {name: [statistics.median(x[i] for x in res["runs"][name]) for i in range(3)] for name in res["runs"]}
        (wall_e, rss_e, cpu_e), (wall_o, rss_o, cpu_o) = med["every"], med["one"]
        ratio = wall_e / wall_o
        wall_ok = ratio <= res["aim"]
        memory_ok = rss_e <= max(MEMORY_RATIO * rss_o, rss_o + MEMORY_SLACK)
        missed = [what for what, ok in (("wall", wall_ok), ("memory", memory_ok)) if not ok]
        aims = "yes" if not missed else "NO: " + ", ".join(missed)
        if res["informational"]:
            aims += f" (wall aim {res['aim']}, informational)"
        rows.append([
            f"{res['label']} ({res['bytes'] / MB:.1f} MB)",
            "whole run" if res["kind"] == "whole" else "-t no trace",
            f"{wall_e:.3f} s", f"{wall_o:.3f} s", f"{ratio:.2f}",
            f"{rss_e / MB:.0f} MB", f"{rss_o / MB:.0f} MB",
            f"{cpu_e:.2f} / {cpu_o:.2f} s",
            aims,
        ])
    text = fmt_table(["row", "run", "wall, every", "wall, one", "every / one", "peak RSS, every",
                      "peak RSS, one", "CPU every / one", "aims hold"],
                     rows, [False, False, True, True, True, True, True, True, False])
    return text


ALL_CPUS = os.sched_getaffinity(0)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    spansift, rows_path, runs, results_dir = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    os.makedirs(results_dir, exist_ok=True)
    report = os.path.join(results_dir, "time.txt")
    with open(rows_path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    sync = not on_tmpfs(os.path.dirname(rows[0][1].rstrip("/")))
    results = []
    for row in rows:
        res = run_row(spansift, row, runs, report, sync)
        res["bytes"] = input_bytes(res["source"])
        results.append(res)
    with open(os.path.join(results_dir, "shapes.json"), "w") as f:
        json.dump(results, f, indent=1)
    text = table(results)
    every = ",".join(str(c) for c in sorted(ALL_CPUS))
    heading = (f"Every processor ({every}) against one ({min(ALL_CPUS)}, reading in turn): medians of {runs} runs each, "
               f"taking turns; aims: every / one <= the row's aim (1.15 unless said), and peak RSS every <= "
               f"max(1.5 x one, one + 64 MB). CPU: user + system.")
    with open(os.path.join(results_dir, "table.txt"), "w") as f:
        f.write(heading + "\n" + text + "\n")
    print()
    print(heading)
    print(text)


if __name__ == "__main__":
    main()
