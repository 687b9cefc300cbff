#!/usr/bin/env python3
"""Prints the table of a bench/run: table.py RESULTS_FOLDER BASELINE_MAX_MB

Reads what bench/run left in RESULTS_FOLDER: sets.txt, per set the hyperfine
export (<set>.hyperfine.json) and the /usr/bin/time -v reports
(<set>.<tool>.timev), and micro.json from Google Benchmark.
"""
import json
import os
import sys

MB = 1e6
TOOLS = [("spansift", "spansift"), ("floor", "write floor"), ("python", "python json")]


def peak_rss_bytes(path):
    with open(path) as f:
        for line in f:
            if "Maximum resident set size" in line:
                return int(line.rsplit(":", 1)[1]) * 1024
    raise ValueError(f"no peak memory in {path}")


def fmt_table(header, rows, right):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]

    def line(r):
        cells = [str(c).rjust(w) if right[i] else str(c).ljust(w) for i, (c, w) in enumerate(zip(r, widths))]
        return "| " + " | ".join(cells) + " |"

    out = [line(header), "|" + "|".join(("-" * (w + 1) + ":") if right[i] else ("-" * (w + 2)) for i, w in enumerate(widths)) + "|"]
    out += [line(r) for r in rows]
    return "\n".join(out)


def main():
    results, baseline_max = sys.argv[1], sys.argv[2]
    sets = []
    with open(os.path.join(results, "sets.txt")) as f:
        for line in f:
            name, mb, files, traces, input_bytes, output_bytes, baseline = line.split()
            sets.append(dict(name=name, mb=int(mb), files=int(files), traces=int(traces),
                             input=int(input_bytes), output=int(output_bytes), baseline=baseline == "1"))

    print("Sets (compact exports; output is the pretty-printed one-trace files):")
    print(fmt_table(["set", "files", "traces", "input MB", "output MB"],
                    [[s["name"], s["files"], s["traces"], f"{s['input'] / MB:.1f}", f"{s['output'] / MB:.1f}"]
                     for s in sets], [False, True, True, True, True]))
    print()

    rows = []
    figures = {}
    for s in sets:
        with open(os.path.join(results, s["name"] + ".hyperfine.json")) as f:
            bench = {r["command"]: r for r in json.load(f)["results"]}
        floor = bench["floor"]["median"]
        runs = len(bench["floor"]["times"])
        for tool, label in TOOLS:
            if tool not in bench:
                rows.append([s["name"], label, f"skipped (set > BASELINE_MAX_MB={baseline_max})"] + [""] * 6)
                continue
            r = bench[tool]
            rss = peak_rss_bytes(os.path.join(results, f"{s['name']}.{tool}.timev"))
            figures[(s["name"], tool)] = dict(wall=r["median"], user=r["user"], rss=rss, input=s["input"])
            rows.append([
                s["name"], label,
                f"{r['median']:.3f} s",
                f"{r['user']:.3f} s",
                f"{r['system']:.3f} s",
                f"{rss / MB:.0f} MB",
                f"{rss / s['input']:.2f}",
                f"{s['input'] / MB / r['median']:.0f}",
                f"{r['median'] / floor:.2f}",
            ])
    print(f"Side by side ({runs} timed runs after 1 warm-up per tool and set; wall is the median):")
    print(fmt_table(["set", "tool", "wall", "user", "system", "peak RSS", "RSS / input", "MB/s", "× floor"],
                    rows, [False, False, True, True, True, True, True, True, True]))

    names = [s["name"] for s in sets]
    if len(names) > 1:
        first, last = sets[0], sets[-1]
        scale = last["input"] / first["input"]
        print()
        print(f"Growth from {first['name']} to {last['name']} ({scale:.1f} × the input):")
        for tool, label in TOOLS:
            a, b = figures.get((first["name"], tool)), figures.get((last["name"], tool))
            if a and b:
                print(f"  {label}: wall × {b['wall'] / a['wall']:.2f}, user × {b['user'] / a['user']:.2f}, "
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


if __name__ == "__main__":
    main()
