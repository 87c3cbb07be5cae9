#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Draws the chart and writes the tables of docs/performance.md from the
benchmark's JSON output (--benchmark_out), the memory check's (--json) and
idle_obs.py's (--json), and the idle chart from idle_obs.py's output for this
module and, when given, for an earlier one (--idle-before).

  plot.py --bench bench.json [--memory memory.json] [--idle idle.json]
          [--idle-before idle-before.json] [--chart docs/performance.png]
          [--idle-chart docs/performance-idle.png] [--doc docs/performance.md]

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


def tables(medians, context, repetitions, memory, idle, before=None):
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
                          ("the frame that reaches 2 s (raises the flag)", "tick_pass_comes_due"),
                          ("the clock read inside that figure", "clock_read"),
                          ("handing a pass to the UI thread as OBS does (a queued Qt call), "
                           "which that frame made before", "ui_hand_off_as_obs_makes_it")):
        f = find(medians, prefix)
        if f:
            out.append(f"| {label} | {fmt(f['time_us'] * 1e3)} |")
    f = find(medians, "pass_follows_frames")
    if f:
        out.append("")
        out.append(f"**From the frame that reaches 2 s to the pass queued for the UI thread** (the module's "
                   f"thread looks every 150 ms; the frame comes right after a look, the longest wait): "
                   f"{fmt(f['time_us'] / 1e3)} ms.")
    out.append("")
    out.append("**The rewrite** (dock line out of order, user.ini rewritten, synced and swapped in; 50 items):")
    out.append("")
    out.append("| user.ini | pass (µs) |")
    out.append("|---:|---:|")
    for kb, f in rewrite_rows(medians):
        out.append(f"| {kb} KB | {fmt(f['time_us'], 0)} |")
    if memory:
        out.append("")
        out.append(f"**Memory across {memory['passes']:,} steady passes** (50 items, 20 KB user.ini; through the "
                   f"event, and one in 2,000 handed on by the module's thread after the tick; "
                   f"{fmt(memory['seconds'])} s):")
        out.append("")
        out.append("| | before | after |")
        out.append("|---|---:|---:|")
        out.append(f"| resident set (KB) | {memory['rss_kb'][0]:,} | {memory['rss_kb'][1]:,} |")
        out.append(f"| heap in use (bytes) | {memory['heap_bytes'][0]:,} | {memory['heap_bytes'][1]:,} |")
        out.append(f"| libobs allocations (bnum_allocs) | {memory['libobs_allocs'][0]:,} | "
                   f"{memory['libobs_allocs'][1]:,} |")
    if idle:
        out.extend([""] + idle_table(idle, before))
    return "\n".join(out) + "\n"


def idle_rows(idle, label):
    rows = []
    for fps, s in sorted(idle.get("summary", {}).items(), key=lambda kv: int(kv[0])):
        load = idle.get("load_average", {}).get("start")
        rows.append(f"| {label} | {fps} | {s['pairs']} | {s['tick_p99_ms']['true']:g} / {s['tick_p99_ms']['false']:g} | "
                    f"**{fmt(s['tick_p99_ratio'], 2)}** | {s['frames_over_1ms']['true']} / "
                    f"{s['frames_over_1ms']['false']} | {fmt(s['cpu_seconds']['true'], 2)} / "
                    f"{fmt(s['cpu_seconds']['false'], 2)} | **{fmt(s['cpu_ratio'], 3)}** | "
                    f"{fmt(s['cpu_per_frame_ratio'], 3) if 'cpu_per_frame_ratio' in s else ''} | "
                    f"{s['collection_saves']} | {fmt(load[0], 1) if load else ''} |")
    return rows


def idle_table(idle, before=None):
    seconds = max((r["seconds"] for r in idle["runs"]), default=0)
    out = [f"**OBS {idle['obs_version']} idle, interleaved pairs of {seconds:g} s runs without and with the "
           "module** (`tick_sources` 99th percentile from OBS's profiler at quit, over the whole run; frames whose "
           "`tick_sources` took over 1 ms, summed over the pairs; CPU time of the OBS process in the idle time; "
           "ratios with/without, median over the pairs; goals: at most 1.25 and 1.05):", "",
           "| module | fps | pairs | tick_sources p99 with / without (ms) | p99 ratio | frames over 1 ms "
           "with / without | CPU with / without (s) | CPU ratio | CPU ratio per rendered frame | collection saves | "
           "load average |",
           "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    if before:
        out.extend(idle_rows(before, "before (the tick hands off)"))
    out.extend(idle_rows(idle, "after (the tick only counts)" if before else "this module"))
    return out


def idle_chart(idle, before, path):
    """Per frame rate, each pair's ratios with/without, before and after."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    def pair_ratios(data, fps, metric):
        pairs = {}
        for r in data["runs"]:
            if r["fps"] == fps and not r["problems"]:
                pairs.setdefault(r["pair"], {})[r["module"]] = r
        ratios = []
        for p in pairs.values():
            if len(p) == 2:
                ratios.append(metric(p[True]) / metric(p[False]))
        return ratios

    sets = ([("before", before)] if before else []) + [("after" if before else "this module", idle)]
    rates = sorted({r["fps"] for r in idle["runs"]})
    metrics = [("tick_sources p99 with / without", lambda r: r["tick_sources_ms"]["p99"], 1.25),
               ("OBS CPU time with / without", lambda r: r["cpu_seconds"], 1.05)]
    fig, axes = plt.subplots(len(metrics), len(rates), figsize=(10, 7), squeeze=False)
    for row, (title, metric, goal) in enumerate(metrics):
        for col, fps in enumerate(rates):
            ax = axes[row][col]
            for i, (label, data) in enumerate(sets):
                ratios = pair_ratios(data, fps, metric)
                if not ratios:
                    continue
                ax.scatter([i] * len(ratios), ratios, color="tab:blue", alpha=0.6, zorder=3)
                median = statistics.median(ratios)
                ax.hlines(median, i - 0.3, i + 0.3, color="black", zorder=4)
                ax.annotate(f"{median:.2f}", (i + 0.32, median), va="center", fontsize=8)
            ax.axhline(goal, color="tab:red", linestyle="--", label=f"goal: {goal}")
            ax.axhline(1.0, color="tab:gray", linewidth=0.8)
            ax.set_xticks(range(len(sets)))
            ax.set_xticklabels([label for label, _ in sets])
            ax.set_xlim(-0.6, len(sets) - 0.2)
            ax.set_yscale("log")
            ax.yaxis.set_major_formatter(matplotlib.ticker.FormatStrFormatter("%.2f"))
            ax.yaxis.set_minor_formatter(matplotlib.ticker.FormatStrFormatter("%.2f"))
            ax.set_title(f"{title}, {fps} fps", fontsize=10)
            ax.legend(fontsize=8)
    fig.suptitle("OBS idle with the module against without it: each pair, and the median (bar)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


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
    bottom.set_ylim(min(ratios + [1.0]) / 1.5, max(ratios + [1.3]) * 2)
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
    parser.add_argument("--idle-before", help="idle_obs.py --json FILE of an earlier module, to compare with")
    parser.add_argument("--chart", help="the PNG to draw")
    parser.add_argument("--idle-chart", help="the PNG of the idle runs to draw (needs --idle)")
    parser.add_argument("--doc", help="the Markdown file whose results section to replace")
    args = parser.parse_args()

    medians, context, repetitions = benchmark_medians(args.bench)
    idle, before = read_json(args.idle), read_json(args.idle_before)
    text = tables(medians, context, repetitions, read_json(args.memory), idle, before)
    if args.chart:
        chart(medians, args.chart)
    if args.idle_chart and idle:
        idle_chart(idle, before, args.idle_chart)
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
