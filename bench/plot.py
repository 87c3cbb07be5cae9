#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Draws the chart and writes the tables of docs/performance.md from the
benchmark's JSON output (--benchmark_out), the memory check's (--json) and
idle_obs.py's (--json).

  plot.py --bench bench.json [--memory memory.json] [--idle idle.json]
          [--chart docs/performance.png] [--doc docs/performance.md]

Every figure is the median of the repetitions in the files. With --doc, the
tables replace what stands between the results markers of that file;
without, they are printed.
"""

import argparse
import json
import re
import statistics
import sys

BEGIN, END = "<!-- results: begin -->", "<!-- results: end -->"
UNIT_TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
COUNTERS = ("floor_us", "pass_to_floor", "wall_pass_us", "wall_floor_us", "wall_pass_to_floor")


def benchmark_medians(path):
    """{run name: {"time_us": ..., counters...}}: the median aggregate when the
    run was repeated, else the median of its runs."""
    with open(path) as f:
        data = json.load(f)
    runs, medians = {}, {}
    for row in data["benchmarks"]:
        if row.get("error_occurred"):
            sys.exit(f"{row['name']}: {row.get('error_message')}")
        fields = {"time_us": row["real_time"] * UNIT_TO_US[row["time_unit"]]}
        fields.update({k: row[k] for k in COUNTERS if k in row})
        name = row.get("run_name", row["name"])
        if row.get("run_type") == "aggregate":
            if row.get("aggregate_name") == "median":
                medians[name] = fields
        else:
            runs.setdefault(name, []).append(fields)
    for name, rows in runs.items():
        if name not in medians:
            medians[name] = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
    repetitions = max((len(rows) for rows in runs.values()), default=0)
    return medians, data["context"], repetitions


def steady_rows(medians):
    rows = []
    for name, fields in medians.items():
        match = re.match(r"steady_pass/items:(\d+)/ini_kb:(\d+)", name)
        if match:
            rows.append((int(match[1]), int(match[2]), fields))
    return sorted(rows, key=lambda r: (r[1], r[0]))


def rewrite_rows(medians):
    rows = []
    for name, fields in medians.items():
        match = re.match(r"rewrite_pass/ini_kb:(\d+)", name)
        if match:
            rows.append((int(match[1]), fields))
    return sorted(rows)


def find(medians, prefix):
    return next((fields for name, fields in medians.items() if name.startswith(prefix)), None)


def fmt(value, digits=1):
    return f"{value:.{digits}f}"


def tables(medians, context, repetitions, memory, idle):
    out = []
    load = context.get("load_avg")
    load_text = f", load average {', '.join(fmt(x, 2) for x in load)} at the start" if load else ""
    out.append(f"Measured {context.get('date', '')[:10]} on {context.get('num_cpus')} CPUs at "
               f"{context.get('mhz_per_cpu')} MHz{load_text}; medians of {repetitions} repetitions.")
    out.append("")
    out.append("**Steady pass and its floor** (the pass through the scene-changed event, everything in place; "
               "CPU time of the thread, and the ratio of wall-clock times beside it):")
    out.append("")
    out.append("| items | user.ini | pass (µs) | floor (µs) | pass / floor | wall-clock pass / floor |")
    out.append("|---:|---:|---:|---:|---:|---:|")
    for items, kb, f in steady_rows(medians):
        out.append(f"| {items} | {kb} KB | {fmt(f['time_us'])} | {fmt(f['floor_us'])} | "
                   f"**{fmt(f['pass_to_floor'], 2)}** | {fmt(f['wall_pass_to_floor'], 2)} |")
    out.append("")
    out.append("**The tick** (graphics thread):")
    out.append("")
    out.append("| | ns |")
    out.append("|---|---:|")
    for label, prefix in (("a frame with no pass due", "tick_no_pass_due"),
                          ("the frame that hands a pass off", "tick_hands_off_a_pass"),
                          ("the clock read inside that figure", "clock_read")):
        f = find(medians, prefix)
        if f:
            out.append(f"| {label} | {fmt(f['time_us'] * 1e3)} |")
    out.append("")
    out.append("**The rewrite** (dock line out of order, user.ini rewritten, synced and swapped in; 50 items):")
    out.append("")
    out.append("| user.ini | pass (µs) |")
    out.append("|---:|---:|")
    for kb, f in rewrite_rows(medians):
        out.append(f"| {kb} KB | {fmt(f['time_us'], 0)} |")
    if memory:
        out.append("")
        out.append(f"**Memory across {memory['passes']:,} steady passes** (50 items, 20 KB user.ini; half through "
                   f"the event, half handed off by the tick; {fmt(memory['seconds'])} s):")
        out.append("")
        out.append("| | before | after |")
        out.append("|---|---:|---:|")
        out.append(f"| resident set (KB) | {memory['rss_kb'][0]:,} | {memory['rss_kb'][1]:,} |")
        out.append(f"| heap in use (bytes) | {memory['heap_bytes'][0]:,} | {memory['heap_bytes'][1]:,} |")
        out.append(f"| libobs allocations (bnum_allocs) | {memory['libobs_allocs'][0]:,} | "
                   f"{memory['libobs_allocs'][1]:,} |")
    if idle:
        out.extend([""] + idle_table(idle))
    return "\n".join(out) + "\n"


def idle_table(idle):
    groups = {}
    for run in idle["runs"]:
        if run.get("collection_saves") is not None and not run["problems"]:
            groups.setdefault((run["fps"], run["module"]), []).append(run)
    seconds = max((r["seconds"] for r in idle["runs"]), default=0)
    counts = sorted({len(g) for g in groups.values()})
    out = [f"**OBS {idle['obs_version']} idle for {seconds:g} s** (medians of {'/'.join(map(str, counts))} runs; "
           "`tick_sources` from OBS's profiler at quit, over the whole run):", "",
           "| fps | module | collection saves | tick_sources median (ms) | 99th percentile (ms) | max (ms) |",
           "|---:|---|---:|---:|---:|---:|"]
    for (fps, module), runs in sorted(groups.items(), key=lambda kv: (-kv[0][0], kv[0][1])):
        def med(key):
            return statistics.median(r["tick_sources_ms"][key] for r in runs)
        saves = statistics.median(r["collection_saves"] for r in runs)
        out.append(f"| {fps} | {'with' if module else 'without'} | {saves:g} | {med('median'):g} | "
                   f"{med('p99'):g} | {med('max'):g} |")
    return out


def chart(medians, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = steady_rows(medians)
    labels = [f"{items} items\n{kb} KB" for items, kb, _ in rows]
    x = range(len(rows))
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 7), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 2]})
    width = 0.4
    top.bar([i - width / 2 for i in x], [f["time_us"] for _, _, f in rows], width, label="steady pass")
    top.bar([i + width / 2 for i in x], [f["floor_us"] for _, _, f in rows], width, label="its floor")
    top.set_ylabel("µs of CPU (median)")
    top.set_yscale("log")
    top.legend()
    top.set_title("A steady pass against the host work it cannot avoid (real libobs, headless)")
    ratios = [f["pass_to_floor"] for _, _, f in rows]
    bottom.bar(list(x), ratios, 0.6, color="tab:gray")
    bottom.axhline(1.3, color="tab:red", linestyle="--", label="goal: 1.3")
    for i, ratio in zip(x, ratios):
        bottom.annotate(f"{ratio:.2f}", (i, ratio), ha="center", va="bottom", fontsize=8)
    bottom.set_ylabel("pass / floor")
    bottom.set_yscale("log")
    bottom.set_ylim(0.5, max(ratios + [1.3]) * 2)
    bottom.legend()
    bottom.set_xticks(list(x))
    bottom.set_xticklabels(labels, fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def read_json(path):
    if not path:
        return None
    with open(path) as f:
        return json.load(f)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bench", required=True, help="brivora_bench --benchmark_out=FILE (JSON)")
    parser.add_argument("--memory", help="brivora_bench --memory-check --json FILE")
    parser.add_argument("--idle", help="idle_obs.py --json FILE")
    parser.add_argument("--chart", help="the PNG to draw")
    parser.add_argument("--doc", help="the Markdown file whose results section to replace")
    args = parser.parse_args()

    medians, context, repetitions = benchmark_medians(args.bench)
    text = tables(medians, context, repetitions, read_json(args.memory), read_json(args.idle))
    if args.chart:
        chart(medians, args.chart)
    if not args.doc:
        sys.stdout.write(text)
        return 0
    with open(args.doc) as f:
        doc = f.read()
    begin, end = doc.find(BEGIN), doc.find(END)
    if begin < 0 or end < begin:
        sys.exit(f"{args.doc} has no '{BEGIN}' ... '{END}' section")
    with open(args.doc, "w") as f:
        f.write(doc[:begin + len(BEGIN)] + "\n" + text + doc[end:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
