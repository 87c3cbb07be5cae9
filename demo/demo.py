#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The module at work in a throw-away OBS, for a first look (scripts/demo.sh).

Seeds a fresh home like a streamer's: a scene with a camera placeholder, a
chat overlay of another service and a stray alerts overlay, and a user.ini
with an older dock list of the service and a dock of the user's own. Starts
OBS on it twice (under Xvfb when there is no display, or with --headless):
first without the module, then with it, until its first passes are done. Each
time it takes a picture of the OBS window and quits OBS cleanly. It saves one
picture with both windows side by side, labelled, and below them what the
module changed. The user's own OBS settings are not touched.

  demo.py --module build-demo/brivora-signature-guard.so [--out DIR] [--headless]

The output folder holds before-after.png, obs.log (the start with the module)
and summary.txt (the printed summary). Exits non-zero when the module did not
do its work or OBS did not quit cleanly.
"""

import argparse
import base64
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from obs_driver import (LOAD_LINE, PREFIX, SCENE, SIGNATURE, Failed, Service, Session,  # noqa: E402
                        basic_window_docks, check_host_quit, host_name_from_cache, log_lines, placement_problems,
                        poll)
from obs_session import (HostError, ObsHome, Xvfb, browser_source, color_source,  # noqa: E402
                         detect_obs_version, scene_collection)
from obs_ws import ObsWsError  # noqa: E402

SLUG, TOKEN = "demo-streamer", "demoTok8Hx3"
STRAY_ALERTS = "Stream Alerts (old)"
PICTURE, OBS_LOG, SUMMARY = "before-after.png", "obs.log", "summary.txt"
PANES = ("Before: OBS without the module", "After: the module's first passes")
NO_BROWSER = ("This OBS has no browser source (Debian's and Ubuntu's own OBS packages leave it out): "
              "the signature overlay is in the scene but draws nothing in the outline.")
CANVAS = (1920, 1080)
SCREEN = (1600, 900)
WINDOW = (1440, 810)  # wide enough docks for whole names
CAMERA_GREY = (68, 68, 68)  # the camera placeholder's colour, which fills the canvas
SIGNATURE_SIZE = (560, 80)
OUTLINE = (255, 128, 0)
OUTLINE_LABEL = f"where the browser source draws {SIGNATURE}"
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
    home.seed(scene_collection(SCENE, items), user_ini, preview=True, canvas=CANVAS)
    for path in (os.path.join(home.obs_dir, "global.ini"), home.user_ini):
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace("[BasicWindow]\n", f"[BasicWindow]\ngeometry={window_geometry(*WINDOW)}\n", 1))


def window_geometry(width, height):
    """A main window's saved geometry as Qt 5 writes it (QWidget::saveGeometry,
    format 3.0), base64: at the screen's top left, `width` x `height`."""
    rect = struct.pack(">4i", 0, 0, width - 1, height - 1)
    blob = struct.pack(">IHH", 0x1D9D0CB, 3, 0) + rect + rect + struct.pack(">iBBi", 0, 0, 0, width) + rect
    return base64.b64encode(blob).decode()


class HostOptions:
    """What a Session needs to start OBS: the command, the display, no core files."""

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


def grab_window(display):
    """The OBS window as a PIL image, once its preview shows the canvas."""
    from PIL import ImageGrab  # python3-pil

    def painted():
        win = obs_window(display)
        if win is None:
            return False, "no OBS window mapped"
        _, x, y, w, h = win
        img = ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display)
        painted = canvas_box(img) is not None
        return painted, img if painted else "a black or unpainted preview"
    return poll("the OBS window painted, its preview showing the canvas", painted, WAIT)


def font(size):
    from PIL import ImageFont
    try:
        return ImageFont.truetype("DejaVuSans.ttf", size)  # fonts-dejavu-core
    except OSError:
        return ImageFont.load_default()


def canvas_box(img):
    """(x, y, w, h) of the canvas in a picture of OBS's window: where the
    camera placeholder's grey fills the preview. None while the preview is
    black or unpainted."""
    from PIL import ImageChops
    bands = [band.point(lambda v, c=c: 255 if abs(v - c) <= 3 else 0) for band, c in zip(img.convert("RGB").split(),
                                                                                        CAMERA_GREY)]
    mask = ImageChops.multiply(ImageChops.multiply(bands[0], bands[1]), bands[2])
    box = mask.getbbox()
    if not box:
        return None
    x0, y0, x1, y1 = box
    w, h = x1 - x0, y1 - y0
    filled = mask.histogram()[255] / (w * h)
    shaped = abs(w / h - CANVAS[0] / CANVAS[1]) < 0.05
    # The overlays the host draws cover a fifth of the canvas at most.
    return (x0, y0, w, h) if w >= img.width / 5 and shaped and filled > 0.8 else None


def on_canvas(box, rect):
    """`rect` (x, y, w, h on the canvas) where the canvas shows at `box`."""
    scale = box[2] / CANVAS[0]
    return tuple(round(v) for v in (box[0] + rect[0] * scale, box[1] + rect[1] * scale,
                                    rect[2] * scale, rect[3] * scale))


def draw_outline(pane, rect):
    """The outline of `rect` (on the canvas) in the pane's preview, labelled."""
    from PIL import ImageDraw
    x, y, w, h = on_canvas(canvas_box(pane), rect)
    draw = ImageDraw.Draw(pane)
    draw.rectangle((x, y, x + w - 1, y + h - 1), outline=OUTLINE, width=3)
    label = font(15)
    left = min(x, pane.width - draw.textlength(OUTLINE_LABEL, font=label) - 4)
    draw.text((left, y - 22), OUTLINE_LABEL, fill=OUTLINE, font=label)


def compose_picture(before, after, title, text, path, signature=None, pane_width=900, margin=20):
    """Both windows side by side under their labels, `title` above and the
    lines of `text` below, and in the After preview the outline `signature`
    (x, y, w, h on the canvas); saves it and returns each pane's (x, y, w, h)."""
    from PIL import Image, ImageDraw
    panes = [img.resize((pane_width, round(img.height * pane_width / img.width))) for img in (before, after)]
    if signature:
        draw_outline(panes[1], signature)
    big, small, line = font(24), font(17), 24
    pane_h = max(p.height for p in panes)
    top = margin + 40 + 30
    height = top + pane_h + margin + line * len(text) + margin
    picture = Image.new("RGB", (3 * margin + 2 * pane_width, height), "white")
    draw = ImageDraw.Draw(picture)
    draw.text((margin, margin), title, fill="black", font=big)
    boxes = []
    for i, (pane, label) in enumerate(zip(panes, PANES)):
        x = margin + i * (pane_width + margin)
        draw.text((x, top - 28), label, fill="black", font=font(20))
        picture.paste(pane, (x, top))
        boxes.append((x, top, pane.width, pane.height))
    for n, row in enumerate(text):
        draw.text((margin, top + pane_h + margin + n * line), row, fill="firebrick" if row == NO_BROWSER else "black",
                  font=small)
    picture.save(path)
    return boxes


def changes(before, after, inputs_after, canvas, version, docks_before, docks_after, has_browser):
    """What the module changed, in a few lines for the picture and the summary."""
    names_before = {item["sourceName"] for item in before}
    names_after = {item["sourceName"] for item in after}
    why = {SIGNATURE: ": the signature overlay, which the module keeps in whatever scene is live."}
    lines = [f"Added: {name}{why.get(name, '')}" for name in sorted(names_after - names_before)]
    for name in sorted(names_before - names_after):
        gone = ("no other scene showed it, so its source is gone too" if name not in inputs_after
                else "its source stays, shown in another scene")
        lines.append(f"Removed: {name}: its URL holds /alerts/ and it is not named Brivora Alerts; {gone}.")
    sig = next((item for item in after if item["sourceName"] == SIGNATURE), None)
    if sig:
        t = sig["sceneItemTransform"]
        lines.append(f"Placed: {SIGNATURE} at ({t['positionX']:g}, {t['positionY']:g}), the bottom-right corner of "
                     f"this {canvas[0]}x{canvas[1]} canvas, on top, visible and locked: the orange outline.")
    titles = [re.findall(r'"title": ?"([^"]*)"', docks) for docks in (docks_before, docks_after)]
    if docks_before != docks_after:
        lines.append(f"Docks OBS 31 and later will show from their next start: {', '.join(titles[1])} "
                     f"(before: {', '.join(titles[0]) or 'none'}).")
    if not has_browser:
        lines.append(f"This OBS {version[0]} has no browser docks: it shows none of them.")
    elif version < (31, 0, 0):
        lines.append(f"This OBS {version[0]} keeps its docks in global.ini, which the module leaves alone.")
    lines.append(NO_BROWSER if not has_browser else "This OBS has the browser source: the overlay draws "
                 "inside the orange outline.")
    return lines


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


def one_start(obs_cmd, display, home, name, until=None):
    """Starts OBS on `home`, waits for `until(session)` (its missing parts),
    takes the window and quits; returns (failures, items, the names of
    all sources, window, log, whether the host has the browser source)."""
    s = Session(HostOptions(obs_cmd, display), home, name, shown=True)
    try:
        missing = until(s) if until else []
        failures = [f"not seen within {WAIT:.0f} s: {what}" for what in missing]
        items = s.items()
        kinds = s.ws.request("GetInputKindList")["inputKinds"]
        inputs = [i["inputName"] for i in s.ws.request("GetInputList")["inputs"]]
        s.settle()  # the window painted, and safe to quit
        # The status bar shows OBS's measured frame rate, refreshed every 3 s:
        # 35 frames (at 10 fps) after there is one, it shows it.
        poll("OBS's frame rate measured", lambda: (s.ws.request("GetStats")["activeFps"] > 0, "0 fps"), WAIT)
        s.settle(s.ws.request("GetStats")["renderTotalFrames"] + 35)
        window = grab_window(display)
        status, log = s.quit()
    finally:
        s.abort()  # nothing left to stop after a clean quit
    try:
        check_host_quit(status, log)
    except Failed as exc:
        failures.append(f"OBS did not quit cleanly ({name}): {exc}")
    return failures, items, inputs, window, log, "browser_source" in kinds


def run_demo(args, out, work, say):
    """Runs OBS on the demo home without and with the module, and reports;
    returns the failures."""
    obs_cmd = shlex.split(args.obs)
    version = detect_obs_version(obs_cmd)
    say(f"OBS {'.'.join(map(str, version))} in a throw-away home, module {args.module}, "
        f"service host {args.host_name}")
    svc = Service(args.host_name)
    home = ObsHome(os.path.join(work, "demo"), version, None, args.data_dir)
    seed_demo_home(home, svc)
    docks_before = "".join(basic_window_docks(home.read_user_ini() or ""))
    display = None if args.headless else os.environ.get("DISPLAY")
    xvfb = None
    if display:  # the user's screen: the home is not theirs, their X cookie is
        home.xauthority = os.environ.get("XAUTHORITY") or os.path.expanduser("~/.Xauthority")
    else:
        xvfb = Xvfb(os.path.join(work, "xvfb.log"), screen=f"{SCREEN[0]}x{SCREEN[1]}x24")
        display = xvfb.display
    logs_before = None
    try:
        failures, items_before, _, before, _, _ = one_start(obs_cmd, display, home, "before")
        home.install_module(args.module, args.data_dir)
        logs_before = home.log_files()
        more, items, inputs, after, log, has_browser = one_start(obs_cmd, display, home, "after",
                                                         lambda s: wait_first_passes(s, svc))
        failures += more
    finally:
        if xvfb:
            xvfb.stop()
        if logs_before is not None and home.log_files() - logs_before:  # the start with the module, also failed
            shutil.copyfile(os.path.join(home.logs_dir, max(home.log_files())), os.path.join(out, OBS_LOG))
    docks_after = "".join(basic_window_docks(home.read_user_ini() or ""))
    text = changes(items_before, items, inputs, CANVAS, version, docks_before, docks_after, has_browser)
    title = (f"brivora-signature-guard in OBS {'.'.join(map(str, version))}: "
             f"the same scene and settings, before and after")
    sig = next((item["sceneItemTransform"] for item in items if item["sourceName"] == SIGNATURE), None)
    outline = sig and (sig["positionX"], sig["positionY"], SIGNATURE_SIZE[0] * sig["scaleX"],
                       SIGNATURE_SIZE[1] * sig["scaleY"])
    boxes = compose_picture(before, after, title, text, os.path.join(out, PICTURE), outline)

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
    say("What changed (also below the picture):")
    for line in text:
        say("  " + line)
    say()
    leaks = re.findall(r"Number of memory leaks: (\d+)", log)
    say(f"OBS quit with the module: number of memory leaks {leaks[-1] if leaks else '?'}")
    say(f"Picture: {os.path.join(out, PICTURE)}; panes: "
        + "; ".join(f"{label.split(':')[0]} at {x},{y} {w}x{h}" for label, (x, y, w, h) in zip(PANES, boxes)))
    return failures


def main():
    started = time.monotonic()
    args = parse_args()
    out = os.path.abspath(args.out or tempfile.mkdtemp(prefix="brivora-demo-"))
    os.makedirs(out, exist_ok=True)
    for name in (PICTURE, OBS_LOG, SUMMARY):  # nothing left from an earlier run
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
