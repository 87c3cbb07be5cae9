#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks what scripts/demo.sh left in its output folder: the before-and-after
picture, OBS's log and the printed summary.

  check_demo.py --out DIR --host-name HOST
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(os.path.dirname(HERE)), "demo"))
from demo import (NO_BROWSER, OBS_LOG, OUTLINE, PICTURE, SIGNATURE_SIZE, SLUG, STRAY_ALERTS, SUMMARY,  # noqa: E402
                  TOKEN, canvas_box, on_canvas)
from run_e2e import (LOAD_LINE, PINNED_POS, PREFIX, SIGNATURE, Failed, Report, Service, expect,  # noqa: E402
                     log_lines)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError as exc:
        raise Failed(str(exc)) from exc


def check_picture(out, summary):
    from PIL import Image, ImageChops  # python3-pil
    panes = re.findall(r"(Before|After) at (\d+),(\d+) (\d+)x(\d+)", summary)
    expect([p[0] for p in panes] == ["Before", "After"], f"the summary names the panes {panes}")
    boxes = [tuple(map(int, p[1:])) for p in panes]
    expect(all(w >= 640 and h >= 300 for _, _, w, h in boxes), f"panes too small for OBS's window: {boxes}")
    path = os.path.join(out, PICTURE)
    try:
        with Image.open(path) as img:
            expect(img.format == "PNG", f"{path} is {img.format}, not PNG")
            img.verify()  # chunk CRCs
        with Image.open(path) as img:
            img = img.convert("RGB")
            crops = [img.crop((x, y, x + w, y + h)) for x, y, w, h in boxes]
            for name, crop in zip(("before", "after"), crops):
                expect(canvas_box(crop), f"the {name} pane's preview is black or unpainted")
            check_outline(crops[1])
            expect(ImageChops.difference(*crops).getbbox() is not None, "the two panes are the same picture")
            bottom = max(y + h for _, y, _, h in boxes)
            expect(img.height > bottom + 100, "no room for the text below the panes")
            text = img.crop((0, bottom, img.width, img.height))
            expect(text.getcolors(1) is None, "nothing written below the panes")
    except (OSError, SyntaxError) as exc:  # what PIL raises for a missing, foreign or broken file
        raise Failed(f"{path}: {exc}") from exc


def check_outline(pane):
    """The outline sits where the signature item is on the After preview's canvas."""
    x, y, w, h = on_canvas(canvas_box(pane), PINNED_POS + SIGNATURE_SIZE)
    edge = [(x + i, y + 1) for i in range(2, w - 2)] + [(x + i, y + h - 2) for i in range(2, w - 2)] + \
           [(x + 1, y + j) for j in range(2, h - 2)] + [(x + w - 2, y + j) for j in range(2, h - 2)]
    hits = sum(max(abs(a - b) for a, b in zip(pane.getpixel(p), OUTLINE)) <= 40 for p in edge)
    expect(hits >= 0.9 * len(edge), f"no outline at {x},{y} {w}x{h} in the After pane ({hits} of {len(edge)})")


def check_changes(out, summary):
    """The lines of what changed, as the picture shows them."""
    for line in (f"Added: {SIGNATURE}: ",
                 f"Removed: {STRAY_ALERTS}: its URL holds /alerts/ and it is not named Brivora Alerts; "
                 "no other scene showed it, so its source is gone too.",
                 f"Placed: {SIGNATURE} at (1348, 992), the bottom-right corner of this 1920x1080 canvas",
                 "Docks OBS 31 and later will show from their next start: My Stream Notes, Brivora Dock Live, "
                 "Brivora Chat (before: Brivora Dock Live, My Stream Notes)."):
        expect(re.search(r"^ +" + re.escape(line), summary, re.M), f"the summary has no line '{line}'")
    no_browser = "Source ID 'browser_source' not found" in read(os.path.join(out, OBS_LOG))
    expect((NO_BROWSER in summary) == no_browser,
           "the summary " + ("does not say" if no_browser else "says") + " that this OBS draws no browser overlay")


def check_log(out):
    log = read(os.path.join(out, OBS_LOG))
    expect(log_lines(log, LOAD_LINE), "no load line")
    removal = PREFIX + f"removing duplicate alerts source: {STRAY_ALERTS}"
    expect(log_lines(log, removal), f"no line '{removal}'")
    expect([ln for ln in log.splitlines() if PREFIX in ln and "docks updated" in ln], "no 'docks updated' line")
    leaks = re.findall(r"Number of memory leaks: (\d+)", log)
    expect(leaks == ["0"], f"memory leak lines: {leaks}")


def check_summary(summary, host):
    items = re.findall(r"^  (\d+)\. (.+?) +at \((-?[\d.]+), (-?[\d.]+)\)  (\w+), (\w+)$", summary, re.M)
    expect(items, "the summary lists no scene items")
    top = items[0]
    expect(top == ("1", SIGNATURE, "1348", "992", "visible", "locked"),
           f"top item listed as {top}, want '{SIGNATURE}' at (1348, 992), visible, locked")
    expect(STRAY_ALERTS not in [item[1] for item in items], f"'{STRAY_ALERTS}' is still listed")
    docks = re.findall(r"^  ExtraBrowserDocks=.*$", summary, re.M)
    expect(len(docks) == 1, f"{len(docks)} dock lines listed")
    base = Service(host).base
    for dock in ("live-dock", "chat"):
        url = f"{base}/{SLUG}/{dock}/?dock=1&pluginVersion=1.2.0&widgetToken={TOKEN}"
        expect(url in docks[0], f"no {url} in the dock line {docks[0]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True, help="the demo's output folder")
    parser.add_argument("--host-name", required=True, help="service host the module was built with")
    args = parser.parse_args()
    report = Report()
    try:
        summary = read(os.path.join(args.out, SUMMARY))
    except Failed as exc:
        report.fail("demo summary", exc)
        return 1
    report.check("picture: a PNG with two different panes of OBS's window, each preview painted, the outline "
                 "at the signature's place in the After one, and text below them",
                 check_picture, args.out, summary)
    report.check("what changed, and why: added, removed, placed, the docks OBS 31 will show, the overlay's fate",
                 check_changes, args.out, summary)
    report.check("OBS log: load line, stray alerts removed, docks updated, no leaks at quit", check_log, args.out)
    report.check("summary: signature on top at (1348, 992), live and chat docks with the sample token",
                 check_summary, summary, args.host_name)
    print(f"{report.passed} passed, {report.failed} failed", flush=True)
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
