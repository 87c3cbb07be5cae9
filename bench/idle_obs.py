#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the module costs OBS itself while nothing happens.

Runs the OBS application (Debian 12's OBS 29) under Xvfb on a seeded home in
which everything is already in place: the signature source with its settings,
pinned on top of the scene, and user.ini holding the service's dock line in
order. OBS idles in interleaved pairs of runs, one without and one with the
module (each pair at each frame rate; the order flips from pair to pair, so
that a drift of the machine's load hits both sides alike).

For each run: how often OBS saved the scene collection during the idle time
(inotify on the collection's folder); OBS's own profiler figures for
`tick_sources` (median, 99th percentile, max), which OBS logs at quit and which
cover the whole run; the frames whose `tick_sources` took over 1 ms (from the
profiler data OBS writes at quit); and the CPU time of the OBS process during
the idle time (/proc). For each frame rate, the summary gives the median over
the pairs of the ratios with/without of the `tick_sources` 99th percentile and
of the CPU time, whole and per rendered frame (a loaded machine makes OBS
render fewer frames than asked for).

  idle_obs.py --module build/brivora-signature-guard.so [--seconds 40]
              [--fps 10 60] [--pairs 5] [--json FILE]
"""

import argparse
import csv
import ctypes
import glob
import gzip
import json
import os
import re
import select
import shlex
import shutil
import statistics
import struct
import sys
import tempfile
import time
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "demo"))
from obs_driver import (LOAD_LINE, PINNED_POS, PREFIX, SCENE, SIGNATURE, Service, Session,  # noqa: E402
                        host_name_from_cache, log_lines)
from obs_session import (HostError, ObsHome, Xvfb, browser_source, color_source,  # noqa: E402
                         detect_obs_version, scene_collection)

SLUG, TOKEN = "idle-streamer", "IdleTok5Rw8"
# OBS puts a no-break space before each "ms".
TICK_SOURCES = re.compile(r"tick_sources: min=([\d.]+)[^,]*, median=([\d.]+)[^,]*, max=([\d.]+)[^,]*, "
                          r"99th percentile=([\d.]+)")
DOCKS_UPDATED = PREFIX + "Brivora: OBS docks updated"
SLOW_FRAME_US = 1000
# The goals: with/without, median over the pairs.
TICK_P99_GOAL, CPU_GOAL = 1.25, 1.05


class FileWrites:
    """Counts the times a file is written in place or renamed into place,
    through inotify on its folder."""

    IN_CLOSE_WRITE, IN_MOVED_TO = 0x08, 0x80
    EVENT = struct.Struct("iIII")

    def __init__(self, path):
        self.name = os.path.basename(path).encode()
        self.count = 0
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        folder = os.path.dirname(path).encode()
        if libc.inotify_add_watch(self.fd, folder, self.IN_CLOSE_WRITE | self.IN_MOVED_TO) < 0:
            os.close(self.fd)
            raise OSError(ctypes.get_errno(), "inotify_add_watch")

    def watch(self, seconds):
        """Counts the writes that happen within the next `seconds`."""
        deadline = time.monotonic() + seconds
        while (left := deadline - time.monotonic()) > 0:
            if select.select([self.fd], [], [], left)[0]:
                self._read()

    def _read(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return
        offset = 0
        while offset < len(data):
            _, _, _, length = self.EVENT.unpack_from(data, offset)
            offset += self.EVENT.size
            if data[offset:offset + length].rstrip(b"\0") == self.name:
                self.count += 1
            offset += length

    def close(self):
        os.close(self.fd)


def cpu_seconds(pid):
    """User and system time of the whole process (all its threads) so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are the 14th and 15th fields; the split starts at the 3rd.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def slow_tick_frames(home):
    """(frames whose tick_sources took over 1 ms, all frames), from the
    profiler data OBS wrote at quit: one row for each distinct time, in µs,
    with its count."""
    files = sorted(glob.glob(os.path.join(home.obs_dir, "profiler_data", "*.csv.gz")), key=os.path.getmtime)
    if not files:
        return None
    slow = total = 0
    with gzip.open(files[-1], "rt", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            if row["name"] == "tick_sources" and row["time_between_calls"] == "0":
                count = int(row["count"])
                total += count
                if int(row["time_delta_µs"]) > SLOW_FRAME_US:
                    slow += count
    return slow, total


def seed(home, service, fps):
    """The collection and user.ini as the module leaves them: nothing to do."""
    signature = browser_source(SIGNATURE, service.signature_url(SLUG, TOKEN), 560, 80,
                               shutdown=False, restart_when_active=True)
    items = [(color_source("Backdrop"), {}),
             (browser_source("Overlay", "https://overlays.example.net/o/1?theme=dark"), {"pos": (20, 20)}),
             (browser_source("Chat Box", "https://chat.example.net/box"), {"pos": (20, 600)}),
             (signature, {"locked": True, "pos": PINNED_POS})]
    docks = service.dock_line(SLUG, TOKEN).split("=", 1)[1]
    user_ini = home.host_settings() + [("BasicWindow", [("PreviewEnabled", "false"), ("ExtraBrowserDocks", docks)])]
    home.seed(scene_collection(SCENE, items), user_ini, fps=fps)


def idle_run(ctx, fps, with_module, seconds, index):
    name = f"{fps}fps-{'module' if with_module else 'bare'}-{index}"
    home = ObsHome(os.path.join(ctx.work, name), ctx.version, ctx.module if with_module else None, ctx.data_dir)
    seed(home, ctx.service, fps)
    user_ini_before = home.read_user_ini()
    session = Session(ctx, home, name)
    try:
        session.wait_pinned()
        session.wait_settings(ctx.service.signature_url(SLUG, TOKEN))
        # Idle means no client either.
        session.ws.close()
        session.ws = None
        writes = FileWrites(home.collection_file)
        try:
            cpu_before = cpu_seconds(session.run.proc.pid)
            writes.watch(seconds)
            cpu = cpu_seconds(session.run.proc.pid) - cpu_before
        finally:
            writes.close()
        status = session.run.quit()
    except BaseException:
        session.abort()
        raise
    log = session.run.log_text()
    match = TICK_SOURCES.search(log)
    problems = []
    if status != 0:
        problems.append(f"exit status {status}")
    if with_module and len(log_lines(log, LOAD_LINE)) != 1:
        problems.append("the module did not load")
    if log_lines(log, DOCKS_UPDATED) or home.read_user_ini() != user_ini_before:
        problems.append("user.ini was not in order: the module rewrote it")
    if not match:
        problems.append("no tick_sources line in the log")
    frames = slow_tick_frames(home)
    if not frames:
        problems.append("no profiler data")
    result = {"fps": fps, "module": with_module, "seconds": seconds, "pair": index,
              "collection_saves": writes.count, "cpu_seconds": cpu, "problems": problems}
    if match:
        result["tick_sources_ms"] = {"min": float(match[1]), "median": float(match[2]),
                                     "max": float(match[3]), "p99": float(match[4])}
    if frames:
        result["frames_over_1ms"], result["frames"] = frames
    return result


def describe(result):
    who = "with the module" if result["module"] else "without       "
    text = f"{result['fps']:>2} fps {who}: {result['collection_saves']:>3} collection saves in {result['seconds']} s"
    tick = result.get("tick_sources_ms")
    if tick:
        text += f"; tick_sources median {tick['median']} ms, p99 {tick['p99']} ms, max {tick['max']} ms"
    if "frames" in result:
        text += f"; {result['frames_over_1ms']} of {result['frames']} frames over 1 ms"
    text += f"; CPU {result['cpu_seconds']:.2f} s"
    if result["problems"]:
        text += "  [" + "; ".join(result["problems"]) + "]"
    return text


def summary(results):
    """For each frame rate, over the pairs whose two runs went well: the
    medians of the ratios with/without, the slow frames, the saves."""
    out = {}
    for fps in sorted({r["fps"] for r in results}):
        pairs = {}
        for r in results:
            if r["fps"] == fps and not r["problems"]:
                pairs.setdefault(r["pair"], {})[r["module"]] = r
        pairs = [p for p in pairs.values() if len(p) == 2 and p[False]["tick_sources_ms"]["p99"] > 0
                 and p[False]["cpu_seconds"] > 0 and p[True]["frames"] > 0]
        if not pairs:
            continue
        sides = {m: [p[m] for p in pairs] for m in (False, True)}
        out[str(fps)] = {
            "pairs": len(pairs),
            "tick_p99_ratio": statistics.median(p[True]["tick_sources_ms"]["p99"] / p[False]["tick_sources_ms"]["p99"]
                                                for p in pairs),
            "cpu_ratio": statistics.median(p[True]["cpu_seconds"] / p[False]["cpu_seconds"] for p in pairs),
            # On a loaded machine OBS renders fewer frames than asked for,
            # and its CPU time follows the frames it rendered.
            "cpu_per_frame_ratio": statistics.median(
                (p[True]["cpu_seconds"] / p[True]["frames"]) / (p[False]["cpu_seconds"] / p[False]["frames"])
                for p in pairs),
            "tick_p99_ms": {str(m).lower(): statistics.median(r["tick_sources_ms"]["p99"] for r in rs)
                            for m, rs in sides.items()},
            "cpu_seconds": {str(m).lower(): statistics.median(r["cpu_seconds"] for r in rs) for m, rs in sides.items()},
            "frames_over_1ms": {str(m).lower(): sum(r["frames_over_1ms"] for r in rs) for m, rs in sides.items()},
            "frames": {str(m).lower(): sum(r["frames"] for r in rs) for m, rs in sides.items()},
            "collection_saves": sum(r["collection_saves"] for r in sides[True]),
        }
    return out


def describe_summary(fps, s):
    def goal(value, limit):
        return "met" if value <= limit else "MISSED"
    return (f"# {fps} fps, median of {s['pairs']} pairs: tick_sources p99 with/without {s['tick_p99_ratio']:.2f} "
            f"(goal <= {TICK_P99_GOAL}: {goal(s['tick_p99_ratio'], TICK_P99_GOAL)}), "
            f"CPU with/without {s['cpu_ratio']:.3f} (goal <= {CPU_GOAL}: {goal(s['cpu_ratio'], CPU_GOAL)}), "
            f"per rendered frame {s['cpu_per_frame_ratio']:.3f}; "
            f"frames over 1 ms {s['frames_over_1ms']['true']} with, {s['frames_over_1ms']['false']} without; "
            f"collection saves with the module {s['collection_saves']}")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--obs", default="obs", help="command that starts OBS (default: obs)")
    parser.add_argument("--module", required=True, help="the built brivora-signature-guard.so")
    parser.add_argument("--host-name", help="service host the module was built with "
                        "(default: BRIVORA_SERVICE_HOST from the CMakeCache.txt above the module)")
    parser.add_argument("--seconds", type=float, default=40.0, help="idle time of each run (default 40)")
    parser.add_argument("--fps", type=int, nargs="+", default=[10, 60], help="frame rates (default 10 60)")
    parser.add_argument("--pairs", type=int, default=5, help="pairs of runs at each frame rate (default 5)")
    parser.add_argument("--json", help="write the results there")
    parser.add_argument("--data-dir", default=os.path.join(REPO, "data"), help="the module's data folder")
    parser.add_argument("--work-dir", help="where the homes and logs go (default: a new temporary folder)")
    return parser.parse_args()


def main():
    args = parse_args()
    module = os.path.abspath(args.module)
    host_name = args.host_name or host_name_from_cache(module)
    if not os.path.isfile(module) or not host_name:
        sys.exit(f"no module at {module}, or no --host-name and no CMakeCache.txt above it")
    obs_cmd = shlex.split(args.obs)
    ctx = SimpleNamespace(obs_cmd=obs_cmd, version=detect_obs_version(obs_cmd), module=module,
                          service=Service(host_name), data_dir=args.data_dir, core_dumps=False,
                          work=args.work_dir or tempfile.mkdtemp(prefix="brivora-idle-"), display=None)
    os.makedirs(ctx.work, exist_ok=True)
    load_before = os.getloadavg()
    print(f"# OBS {'.'.join(map(str, ctx.version))}, {args.seconds:g} s idle per run, work folder {ctx.work}, "
          f"load average {', '.join(f'{x:.2f}' for x in load_before)}", flush=True)
    results = []
    xvfb = Xvfb(os.path.join(ctx.work, "xvfb.log"))
    ctx.display = xvfb.display
    try:
        for index in range(1, args.pairs + 1):
            for fps in args.fps:
                for with_module in ((False, True) if index % 2 else (True, False)):
                    try:
                        result = idle_run(ctx, fps, with_module, args.seconds, index)
                    except HostError as exc:
                        result = {"fps": fps, "module": with_module, "seconds": args.seconds, "pair": index,
                                  "collection_saves": None, "problems": [str(exc)]}
                    results.append(result)
                    print(describe(result) if result["collection_saves"] is not None
                          else f"{fps} fps, module {with_module}: {result['problems'][0]}", flush=True)
    finally:
        xvfb.stop()
    totals = summary(results)
    for fps, figures in totals.items():
        print(describe_summary(fps, figures), flush=True)
    load_after = os.getloadavg()
    print(f"# load average at the end {', '.join(f'{x:.2f}' for x in load_after)}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"obs_version": ".".join(map(str, ctx.version)), "module": module,
                       "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                       "load_average": {"start": load_before, "end": load_after},
                       "summary": totals, "runs": results}, f, indent=1)
    failed = any(r["problems"] for r in results)
    if failed:
        print(f"# logs and homes kept in {ctx.work}")
    elif not args.work_dir:
        shutil.rmtree(ctx.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
