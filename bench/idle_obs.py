#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the module costs OBS itself while nothing happens.

Runs the OBS application (Debian 12's OBS 29) under Xvfb on a seeded home in
which everything is already in place: the signature source with its settings,
pinned on top of the scene, and user.ini holding the service's dock line in
order. OBS idles for a while with and without the module, at 60 and at 10 fps.
For each run it reports how often OBS saved the scene collection during the
idle time (inotify on the collection's folder), and OBS's own profiler figures
for `tick_sources` (median, 99th percentile, max), which OBS logs at quit and
which cover the whole run.

  idle_obs.py --module build/brivora-signature-guard.so [--seconds 60]
              [--fps 60 10] [--repeat 1] [--json FILE]
"""

import argparse
import ctypes
import json
import os
import re
import select
import shlex
import shutil
import struct
import sys
import tempfile
import time
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from run_e2e import (LOAD_LINE, PINNED_POS, PREFIX, SCENE, SIGNATURE, Service, Session,  # noqa: E402
                     host_name_from_cache, log_lines)
from obs_session import (HostError, ObsHome, Xvfb, browser_source, color_source,  # noqa: E402
                         detect_obs_version, scene_collection)

SLUG, TOKEN = "idle-streamer", "IdleTok5Rw8"
# OBS puts a no-break space before each "ms".
TICK_SOURCES = re.compile(r"tick_sources: min=([\d.]+)[^,]*, median=([\d.]+)[^,]*, max=([\d.]+)[^,]*, "
                          r"99th percentile=([\d.]+)")
DOCKS_UPDATED = PREFIX + "Brivora: OBS docks updated"


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
            writes.watch(seconds)
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
    result = {"fps": fps, "module": with_module, "seconds": seconds, "collection_saves": writes.count,
              "problems": problems}
    if match:
        result["tick_sources_ms"] = {"min": float(match[1]), "median": float(match[2]),
                                     "max": float(match[3]), "p99": float(match[4])}
    return result


def describe(result):
    who = "with the module" if result["module"] else "without       "
    text = f"{result['fps']:>2} fps {who}: {result['collection_saves']:>3} collection saves in {result['seconds']} s"
    tick = result.get("tick_sources_ms")
    if tick:
        text += f"; tick_sources median {tick['median']} ms, p99 {tick['p99']} ms, max {tick['max']} ms"
    if result["problems"]:
        text += "  [" + "; ".join(result["problems"]) + "]"
    return text


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--obs", default="obs", help="command that starts OBS (default: obs)")
    parser.add_argument("--module", required=True, help="the built brivora-signature-guard.so")
    parser.add_argument("--host-name", help="service host the module was built with "
                        "(default: BRIVORA_SERVICE_HOST from the CMakeCache.txt above the module)")
    parser.add_argument("--seconds", type=float, default=60.0, help="idle time of each run (default 60)")
    parser.add_argument("--fps", type=int, nargs="+", default=[60, 10], help="frame rates (default 60 10)")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each kind (default 1)")
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
    print(f"# OBS {'.'.join(map(str, ctx.version))}, {args.seconds:g} s idle per run, work folder {ctx.work}",
          flush=True)
    results = []
    xvfb = Xvfb(os.path.join(ctx.work, "xvfb.log"))
    ctx.display = xvfb.display
    try:
        for index in range(1, args.repeat + 1):
            for fps in args.fps:
                for with_module in (False, True):
                    try:
                        result = idle_run(ctx, fps, with_module, args.seconds, index)
                    except HostError as exc:
                        result = {"fps": fps, "module": with_module, "seconds": args.seconds,
                                  "collection_saves": None, "problems": [str(exc)]}
                    results.append(result)
                    print(describe(result) if result["collection_saves"] is not None
                          else f"{fps} fps, module {with_module}: {result['problems'][0]}", flush=True)
    finally:
        xvfb.stop()
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"obs_version": ".".join(map(str, ctx.version)), "runs": results}, f, indent=1)
    failed = any(r["problems"] for r in results)
    if failed:
        print(f"# logs and homes kept in {ctx.work}")
    elif not args.work_dir:
        shutil.rmtree(ctx.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
