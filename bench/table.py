#!/usr/bin/env python3
"""Tables of a bench/run.

    table.py RESULTS_FOLDER BASELINE_MAX_MB   the final tables
    table.py --round ROUND_JSON LABEL         one line for one round of runs

Reads what bench/run left in RESULTS_FOLDER: sets.txt; per set the hyperfine
export of every round (<set>.round<N>.json, one run per tool) and the
/usr/bin/time -v reports (<set>.<tool>.timev); micro.json from Google
Benchmark.
"""
import glob
import json
import os
import statistics
import sys

MB = 1e6
TOOLS = [("spansift", "spansift"), ("floor", "write floor"), ("python", "python json")]


def peak_rss_bytes(path):
    with open(path) as f:
        for line in f:
            if "Maximum resident set size" in line:
                return int(line.rsplit(":", 1)[1]) * 1024
    raise ValueError(f"no peak memory in {path}")


def elapsed_seconds(path):
    with open(path) as f:
        for line in f:
            if "Elapsed (wall clock) time" in line:
                clock = line.rsplit(": ", 1)[1].strip().split(":")
                return sum(float(part) * 60 ** i for i, part in enumerate(reversed(clock)))
    raise ValueError(f"no wall time in {path}")


def fmt_table(header, rows, right):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]

    def line(r):
        cells = [str(c).rjust(w) if right[i] else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        return "| " + " | ".join(cells) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":") if right[i] else ("-" * (w + 2)) for i, w in enumerate(widths)) + "|"
    return "\n".join([line(header), rule] + [line(r) for r in rows])


def load_round(path):
    with open(path) as f:
        return {r["command"]: r for r in json.load(f)["results"]}


def print_round(path, label):
    r = load_round(path)
    parts = [f"{tool} {r[tool]['median']:.2f} s (user {r[tool]['user']:.2f}, system {r[tool]['system']:.2f})"
             for tool, _ in TOOLS if tool in r]
    print(f"  round {label}: " + ", ".join(parts), flush=True)


def collect(results, name):
    """Per tool: lists of wall, user and system times, one entry per round."""
    runs = {}
    for path in sorted(glob.glob(os.path.join(results, f"{name}.round*.json"))):
        for tool, r in load_round(path).items():
            entry = runs.setdefault(tool, {"wall": [], "user": [], "system": []})
            entry["wall"] += r["times"]
            entry["user"].append(r["user"])
            entry["system"].append(r["system"])
    return runs


def final_tables(results, baseline_max):
    sets = []
    with open(os.path.join(results, "sets.txt")) as f:
        for line in f:
            name, mb, files, traces, input_bytes, output_bytes, baseline, shape = line.split()
            sets.append(dict(name=name, mb=int(mb), files=int(files), traces=int(traces),
                             input=int(input_bytes), output=int(output_bytes), baseline=baseline == "1",
                             shape=shape))

    print("Sets (compact exports in; pretty-printed one-trace files out; -tiny: one trace per file, "
          "-floats: lists of coordinates):")
    print(fmt_table(["set", "files", "traces", "input MB", "output MB"],
                    [[s["name"], s["files"], s["traces"], f"{s['input'] / MB:.1f}", f"{s['output'] / MB:.1f}"]
                     for s in sets], [False, True, True, True, True]))
    print()

    rows = []
    figures = {}
    rounds = 0
    for s in sets:
        runs = collect(results, s["name"])
        floor = statistics.median(runs["floor"]["wall"])
        for tool, label in TOOLS:
            if tool not in runs:
                rows.append([s["name"], label, f"skipped (set > BASELINE_MAX_MB={baseline_max})"] + [""] * 8)
                continue
            t = runs[tool]
            rounds = max(rounds, len(t["wall"]))
            wall, user, system = (statistics.median(t[k]) for k in ("wall", "user", "system"))
            rss = peak_rss_bytes(os.path.join(results, f"{s['name']}.{tool}.timev"))
            figures[(s["name"], tool)] = dict(wall=wall, user=user, rss=rss)
            rows.append([
                s["name"], label,
                f"{wall:.3f} s",
                f"{min(t['wall']):.2f}–{max(t['wall']):.2f}",
                f"{user:.3f} s",
                f"{system:.3f} s",
                f"{rss / MB:.0f} MB",
                f"{rss / s['input']:.2f}",
                f"{s['input'] / MB / wall:.0f}",
                f"{s['input'] / MB / user:.0f}" if user >= 0.001 else "",
                f"{wall / floor:.2f}",
            ])
    print(f"Side by side (medians of {rounds} runs per tool, taking turns, after one warm-up run each):")
    print(fmt_table(["set", "tool", "wall", "wall range", "user", "system", "peak RSS", "RSS / input", "MB/s",
                     "MB/user s", "× floor"], rows, [False, False] + [True] * 9))

    for s in sets:
        f, floor = figures.get((s["name"], "spansift")), figures.get((s["name"], "floor"))
        if f and floor and s["shape"] == "tiny":
            # What holding many small exports costs: memory above what the
            # program needs with nothing read (the write floor's) and above
            # 0.6 times the input, per file.
            per_file = (f["rss"] - floor["rss"] - 0.6 * s["input"]) / s["files"]
            print()
            print(f"{s['name']}: peak RSS of spansift {f['rss'] / MB:.1f} MB for {s['files']} files "
                  f"(0.6 × the input + 16 MB: {(0.6 * s['input'] + 16e6) / MB:.1f} MB); "
                  f"above the write floor's {floor['rss'] / MB:.1f} MB and 0.6 × the input: {per_file:.0f} bytes per file")

    for s in sets:
        blocked = os.path.join(results, f"{s['name']}.blocked.timev")
        if os.path.exists(blocked):
            # Records kept in memory until reading ends (one store for the
            # run): 357b5af kept them the same way, at 467 MB and 2.8 s for
            # the 1 GB export; b788703 kept a store per item, at 2,621 MB.
            print()
            print(f"{s['name']} beside a file named Jaeger (the run stops with the folder's message): "
                  f"wall {elapsed_seconds(blocked):.2f} s, peak RSS {peak_rss_bytes(blocked) / MB:.0f} MB "
                  f"({peak_rss_bytes(blocked) / s['input']:.2f} × the input)")

    rows = []
    for s in sets:
        reading = os.path.join(results, f"{s['name']}.reading.json")
        if os.path.exists(reading):
            with open(reading) as f:
                runs = {r["command"]: r for r in json.load(f)["results"]}
            one, every = runs["one"], runs["all"]
            cpu = lambda r: r["user"] + r["system"]  # means: hyperfine keeps no per-run CPU times
            rows.append([s["name"], f"{one['median']:.2f} s", f"{every['median']:.2f} s",
                         f"{every['median'] / one['median']:.2f}", f"{cpu(one):.2f} s", f"{cpu(every):.2f} s"])
    if rows:
        print()
        print("Reading alone (-t naming no trace; medians): one processor reads in turn, "
              f"all {os.cpu_count()} read items ahead on every core:")
        print(fmt_table(["set", "wall, one", "wall, all", "all / one", "cpu (mean), one", "cpu (mean), all"], rows,
                        [False, True, True, True, True, True]))

    for s in sets:
        f, reference = figures.get((s["name"], "spansift")), figures.get((s["name"], "python"))
        if s["shape"] == "floats" and f and reference and reference["user"] >= 0.001:
            # Floats cost the most per byte to read and to write: the share of
            # the reference's user time that spansift takes on them.
            print()
            print(f"{s['name']}: user time of spansift / python json = {f['user']:.3f} / {reference['user']:.3f} s "
                  f"= {f['user'] / reference['user']:.3f}")

    realistic = [s for s in sets if s["shape"] == "realistic"]
    if len(realistic) > 1:
        first, last = realistic[0], realistic[-1]
        print()
        print(f"Growth from {first['name']} to {last['name']} ({last['input'] / first['input']:.1f} × the input):")
        for tool, label in TOOLS:
            a, b = figures.get((first["name"], tool)), figures.get((last["name"], tool))
            if a and b:
                user = f"{b['user'] / a['user']:.2f}" if a["user"] >= 0.01 else "n/a (no user time)"
                print(f"  {label}: wall × {b['wall'] / a['wall']:.2f}, user × {user}, "
                      f"peak RSS × {b['rss'] / a['rss']:.2f}")

    micro_path = os.path.join(results, "micro.json")
    if os.path.exists(micro_path):
        with open(micro_path) as f:
            micro = json.load(f)
        rows = []
        for b in micro["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            speed = b.get("bytes_per_second")
            rows.append([b["run_name"], f"{b['real_time']:.1f} {b['time_unit']}",
                         f"{speed / MB:.0f}" if speed else ""])
        print()
        print("Micro-benchmarks (medians; MB/s of input, of output for BM_Render):")
        print(fmt_table(["benchmark", "time", "MB/s"], rows, [False, True, True]))

        # The reader against simdjson's DOM parse of the same bytes (absent
        # where the bench was built without simdjson).
        medians = {b["run_name"]: b for b in micro["benchmarks"] if b.get("aggregate_name") == "median"}
        pairs = [(label, medians[ours], medians[theirs]) for label, ours, theirs in [
            ("realistic", "BM_ReadFromMemory", "BM_SimdjsonDomParseFromMemory"),
            ("floats", "BM_ReadFloatsFromMemory", "BM_SimdjsonDomParseFloatsFromMemory"),
        ] if ours in medians and theirs in medians]
        if pairs:
            print()
            kernel = pairs[0][2].get("label")
            print(f"Our reader / simdjson DOM parse{f' ({kernel} kernel)' if kernel else ''}, "
                  "throughput on the same bytes (medians):")
            for label, ours, theirs in pairs:
                a, b = ours["bytes_per_second"], theirs["bytes_per_second"]
                print(f"  {label} export: {a / 1e9:.2f} / {b / 1e9:.2f} GB/s = {a / b:.2f}")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--round":
        print_round(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3:
        final_tables(sys.argv[1], sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
