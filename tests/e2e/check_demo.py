#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Checks what scripts/demo.sh left in its output folder: the screenshot,
OBS's log and the printed summary.

  check_demo.py --out DIR --host-name HOST
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from demo import OBS_LOG, SCREENSHOT, SLUG, STRAY_ALERTS, SUMMARY, TOKEN  # noqa: E402
from run_e2e import LOAD_LINE, PREFIX, SIGNATURE, Failed, Report, Service, expect, log_lines  # noqa: E402


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError as exc:
        raise Failed(str(exc)) from exc


def check_screenshot(out, summary):
    from PIL import Image  # python3-pil
    size = re.search(r"^Screenshot of the OBS window \((\d+)x(\d+)\): ", summary, re.M)
    expect(size, "the summary names no screenshot")
    want = tuple(map(int, size.groups()))
    expect(want[0] >= 640 and want[1] >= 400, f"a window of {want[0]}x{want[1]} is not OBS's main window")
    path = os.path.join(out, SCREENSHOT)
    try:
        with Image.open(path) as img:
            expect(img.format == "PNG", f"{path} is {img.format}, not PNG")
            img.verify()  # chunk CRCs
        with Image.open(path) as img:
            expect(img.size == want, f"screenshot is {img.size[0]}x{img.size[1]}, the window {want[0]}x{want[1]}")
            expect(img.convert("RGB").getcolors(1) is None, "screenshot is a single flat colour")
    except (OSError, SyntaxError) as exc:  # what PIL raises for a missing, foreign or broken file
        raise Failed(f"{path}: {exc}") from exc


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
    report.check("screenshot: a PNG of the OBS window's size, not one flat colour", check_screenshot, args.out, summary)
    report.check("OBS log: load line, stray alerts removed, docks updated, no leaks at quit", check_log, args.out)
    report.check("summary: signature on top at (1348, 992), live and chat docks with the sample token",
                 check_summary, summary, args.host_name)
    print(f"{report.passed} passed, {report.failed} failed", flush=True)
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
