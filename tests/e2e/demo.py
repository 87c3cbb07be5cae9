#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The module at work in a throw-away OBS, for a first look (scripts/demo.sh).

Seeds a fresh home like a streamer's: a scene with a camera placeholder, a
chat overlay of another service and a stray alerts overlay, and a user.ini
with an older dock list of the service and a dock of the user's own. Starts
OBS on it (under Xvfb when there is no display, or with --headless), waits
for the module's first passes, prints what changed, saves a screenshot of the
OBS window and quits OBS cleanly. The user's own OBS settings are not touched.

  demo.py --module build-demo/brivora-signature-guard.so [--out DIR] [--headless]

The output folder holds obs-window.png, obs.log and summary.txt (the printed
summary). Exits non-zero when the module did not do its work or OBS did not
quit cleanly.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
# run_e2e re-runs this script with /usr/bin/python3 when python3-websocket is missing.
from run_e2e import (LOAD_LINE, PREFIX, SCENE, SIGNATURE, Failed, Service, Session,  # noqa: E402
                     basic_window_docks, check_host_quit, host_name_from_cache, log_lines, placement_problems,
                     poll)
from obs_session import (HostError, ObsHome, Xvfb, browser_source, color_source,  # noqa: E402
                         detect_obs_version, scene_collection)
from obs_ws import ObsWsError  # noqa: E402

SLUG, TOKEN = "demo-streamer", "demoTok8Hx3"
STRAY_ALERTS = "Stream Alerts (old)"
SCREENSHOT, OBS_LOG, SUMMARY = "obs-window.png", "obs.log", "summary.txt"
WAIT = 20.0  # deadline for the module's first passes (one runs every ~2 s)


def seed_demo_home(home, svc):
    """A streamer's home before the module: the service's docks in an older
    form beside a dock of the user's own, and a scene with a camera, a chat of
    another service and a second alerts overlay of the service."""
    old_docks = ('[{"title":"Brivora Dock Live","url":"' + svc.base + f'/{SLUG}/live-dock/?dock=1'
                 f'&pluginVersion=1.1.0&widgetToken={TOKEN}","uuid":"brivora_live_dock"}},'
                 '{"title":"My Stream Notes","url":"https://notes.example.org/board/","uuid":"my_notes_dock"}]')
    user_ini = home.host_settings() + [
        ("BasicWindow", [("PreviewEnabled", "true"), ("ExtraBrowserDocks", old_docks)]),
    ]
    items = [
        (color_source("Camera (placeholder)"), {}),
        (browser_source("Chat Overlay", "https://chat.example.net/embed/overlay/?channel=demo", 420, 640),
         {"pos": (40, 400)}),
        (browser_source(STRAY_ALERTS, f"{svc.base}/{SLUG}/widgets/alerts/?widgetToken={TOKEN}"), {}),
    ]
    home.seed(scene_collection(SCENE, items), user_ini, preview=True)


class HostOptions:
    """How the Session of run_e2e starts OBS."""

    def __init__(self, obs_cmd, display):
        self.obs_cmd = obs_cmd
        self.display = display
        self.core_dumps = False


def wait_first_passes(s, svc):
    """Waits until the module has loaded, pinned the signature, swept the
    stray alerts overlay and rewritten the dock line; returns what is missing."""
    live_dock = f"{svc.base}/{SLUG}/live-dock/?"
    chat_dock = f"{svc.base}/{SLUG}/chat/?"

    def done():
        log = s.log()
        docks = basic_window_docks(s.home.read_user_ini() or "")
        missing = []
        if not log_lines(log, LOAD_LINE):
            missing.append("the load line")
        problems = placement_problems(s.items())
        if problems:
            missing.append(f"'{SIGNATURE}' pinned ({'; '.join(problems)})")
        if not log_lines(log, PREFIX + f"removing duplicate alerts source: {STRAY_ALERTS}"):
            missing.append(f"the removal of '{STRAY_ALERTS}'")
        if "docks updated" not in log:
            missing.append("'docks updated' in the log")
        if not (len(docks) == 1 and all(dock in docks[0] and f"widgetToken={TOKEN}" in docks[0]
                                        for dock in (live_dock, chat_dock))):
            missing.append(f"the live and chat docks in user.ini (now {docks})")
        return not missing, missing
    try:
        poll("the module's first passes", done, WAIT)
    except Failed:
        return done()[1]
    return []


def item_lines(items):
    """The scene's items, top first, with their placement."""
    lines = []
    for rank, item in enumerate(sorted(items, key=lambda i: -i["sceneItemIndex"]), 1):
        t = item["sceneItemTransform"]
        lines.append(f"  {rank}. {item['sourceName']:<24} at ({t['positionX']:g}, {t['positionY']:g})  "
                     f"{'visible' if item['sceneItemEnabled'] else 'hidden'}, "
                     f"{'locked' if item['sceneItemLocked'] else 'unlocked'}")
    return lines


def obs_window(display):
    """(id, x, y, width, height) of the mapped OBS main window, or None."""
    tree = subprocess.run(["xwininfo", "-display", display, "-root", "-tree"],
                          capture_output=True, text=True, check=False).stdout
    for match in re.finditer(r'^\s*(0x[0-9a-f]+) "OBS \d[^"\n]*":.*?(\d+)x(\d+)[+-]-?\d+[+-]-?\d+'
                             r'\s+\+(-?\d+)\+(-?\d+)\s*$', tree, re.M):
        win, w, h, x, y = match.group(1), *map(int, match.groups()[1:])
        info = subprocess.run(["xwininfo", "-display", display, "-id", win],
                              capture_output=True, text=True, check=False).stdout
        if "IsViewable" in info and w > 1 and h > 1:
            return win, x, y, w, h
    return None


def save_screenshot(display, path):
    """Saves the OBS window as a PNG; returns its (width, height)."""
    from PIL import ImageGrab  # python3-pil
    win = poll("the OBS window mapped", lambda: (lambda w: (w is not None, w))(obs_window(display)), WAIT)
    _, x, y, w, h = win
    ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display).save(path)
    return w, h


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module", required=True, help="the built brivora-signature-guard.so")
    parser.add_argument("--out", help="folder for the screenshot, OBS's log and the summary "
                        "(default: a new folder under the temporary directory)")
    parser.add_argument("--obs", default="obs", help="command that starts OBS (default: obs)")
    parser.add_argument("--host-name", help="service host the module was built with "
                        "(default: BRIVORA_SERVICE_HOST from the CMakeCache.txt above the module)")
    parser.add_argument("--headless", action="store_true", help="run OBS on Xvfb even when there is a display")
    parser.add_argument("--data-dir", default=os.path.join(REPO, "data"), help="the module's data folder")
    args = parser.parse_args()
    if not os.path.isfile(args.module):
        parser.error(f"no module at {args.module!r} (--module)")
    args.module = os.path.abspath(args.module)
    args.host_name = args.host_name or host_name_from_cache(args.module)
    if not args.host_name:
        parser.error("no --host-name given and no BRIVORA_SERVICE_HOST in a CMakeCache.txt above the module")
    return args


def run_demo(args, out, work, say):
    """Runs OBS once on the demo home and reports; returns the failures."""
    obs_cmd = shlex.split(args.obs)
    version = detect_obs_version(obs_cmd)
    say(f"OBS {'.'.join(map(str, version))} in a throw-away home, module {args.module}, "
        f"service host {args.host_name}")
    svc = Service(args.host_name)
    home = ObsHome(os.path.join(work, "demo"), version, args.module, args.data_dir)
    seed_demo_home(home, svc)
    display = None if args.headless else os.environ.get("DISPLAY")
    xvfb = None
    if display:  # the user's screen: the home is not theirs, their X cookie is
        home.xauthority = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    else:
        xvfb = Xvfb(os.path.join(work, "xvfb.log"))
        display = xvfb.display
    s = None
    try:
        s = Session(HostOptions(obs_cmd, display), home, "demo", shown=True)
        failures = [f"not seen within {WAIT:.0f} s: {what}" for what in wait_first_passes(s, svc)]
        items = s.items()
        s.settle()  # the window painted, and safe to quit
        width, height = save_screenshot(display, os.path.join(out, SCREENSHOT))
        status, log = s.quit()
    finally:
        if s:
            s.abort()  # nothing left to stop after a clean quit
        if xvfb:
            xvfb.stop()
        if home.log_files():  # the one start's log, also when it failed
            shutil.copyfile(os.path.join(home.logs_dir, max(home.log_files())), os.path.join(out, OBS_LOG))
    try:
        check_host_quit(status, log)
    except Failed as exc:
        failures.append(f"OBS did not quit cleanly: {exc}")

    say()
    say("The module's lines in OBS's log:")
    for line in log.splitlines():
        if PREFIX in line:
            say("  " + line.strip())
    say()
    say(f"Scene '{SCENE}' now, top first:")
    for line in item_lines(items):
        say(line)
    say()
    say("Dock line now in user.ini:")
    for line in basic_window_docks(home.read_user_ini() or "") or ["(none)"]:
        say("  " + line)
    say()
    leaks = re.findall(r"Number of memory leaks: (\d+)", log)
    say(f"OBS quit with status {status}, number of memory leaks: {leaks[-1] if leaks else '?'}")
    say(f"Screenshot of the OBS window ({width}x{height}): {os.path.join(out, SCREENSHOT)}")
    return failures


def main():
    started = time.monotonic()
    args = parse_args()
    out = os.path.abspath(args.out or tempfile.mkdtemp(prefix="brivora-demo-"))
    os.makedirs(out, exist_ok=True)
    for name in (SCREENSHOT, OBS_LOG, SUMMARY):  # nothing left from an earlier run
        if os.path.exists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    work = tempfile.mkdtemp(prefix="brivora-demo-home-")
    summary = []

    def say(line=""):
        print(line, flush=True)
        summary.append(line)

    try:
        failures = run_demo(args, out, work, say)
    except (HostError, ObsWsError, Failed, OSError) as exc:
        failures = [str(exc)]
    for failure in failures:
        say(f"FAILED: {failure}")
    say(f"Took {time.monotonic() - started:.1f} s; output in {out}")
    with open(os.path.join(out, SUMMARY), "w") as f:
        f.write("\n".join(summary) + "\n")
    if failures:
        print(f"The throw-away home is kept in {work}", flush=True)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
