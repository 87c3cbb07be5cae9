#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The lines of OBS's log that the README quotes for streamers: each one must
be in the log of this OBS, and quoted in the README as it stands.

Two starts of OBS under Xvfb, each in a throw-away home:
- the module as built, until it has added "Brivora Signature" to the scene;
- a copy of it marked as built for another machine (arm64, as a streamer who
  unpacked the other tarball has it): a module OBS cannot load.

  readme_log_lines.py --module build/brivora-signature-guard.so [--obs obs]
"""

import argparse
import os
import re
import shlex
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(REPO, "demo"))
from demo import HostOptions  # noqa: E402
from obs_session import (PLUGIN_NAME, HostError, ObsHome, Xvfb, color_source, detect_obs_version,  # noqa: E402
                         scene_collection)
from obs_ws import ObsWsError  # noqa: E402
from run_e2e import LOAD_LINE, SCENE, SIGNATURE, UNLOAD_LINE, Failed, Session, poll  # noqa: E402

# As the README quotes them: <path> is the module's file, <scene> the scene's
# name, "..." stands for any text. {since OBS version: lines}; a line listed
# twice is logged twice.
MODULE_LINES = {(29, 0, 0): [LOAD_LINE, f"User added source '{SIGNATURE}' (browser_source) to scene '<scene>'",
                             UNLOAD_LINE]}
NO_BROWSER_LINES = {(29, 0, 0): ["Source ID 'browser_source' not found", f"Failed to create source '{SIGNATURE}'!"]}
DLOPEN = "os_dlopen(<path>->...): <path>: cannot open shared object file: No such file or directory"
NOT_LOADED = "Module '<path>' not loaded"
FAILURE_LINES = {(29, 0, 0): [DLOPEN, NOT_LOADED], (30, 0, 0): [DLOPEN, DLOPEN, NOT_LOADED],
                 (32, 0, 0): [DLOPEN, NOT_LOADED]}


def lines_for(table, version):
    return next(lines for since, lines in sorted(table.items(), reverse=True) if version >= since)


def pattern(template, module_path):
    parts = re.split(r"(<path>|<scene>|\.\.\.)", template)
    fills = {"<path>": re.escape(module_path), "<scene>": re.escape(SCENE), "...": ".+"}
    return re.compile(r"^[\d:.]+: " + "".join(fills.get(part, re.escape(part)) for part in parts) + r"\s*$", re.M)


def one_start(obs_cmd, version, work, name, module, until):
    """OBS on a fresh home with `module` as its user plug-in, quit once
    `until(log)` holds; returns the log."""
    home = ObsHome(os.path.join(work, name), version, None, None)
    home.seed(scene_collection(SCENE, [(color_source("Backdrop"), {})]),
              home.host_settings() if version >= (31, 0, 0) else None)
    plugin = os.path.join(home.obs_dir, "plugins", PLUGIN_NAME)
    os.makedirs(os.path.join(plugin, "bin", "64bit"))
    shutil.copytree(os.path.join(REPO, "data"), os.path.join(plugin, "data"))
    with open(os.path.join(plugin, "bin", "64bit", PLUGIN_NAME + ".so"), "wb") as f:
        f.write(module)
    xvfb = Xvfb(os.path.join(work, name + "-xvfb.log"))
    try:
        session = Session(HostOptions(obs_cmd, xvfb.display), home, name)
        try:
            poll(f"{name}: the lines awaited", lambda: (until(session.log()), "not yet"))
            return session.quit()[1]
        finally:
            session.abort()
    finally:
        xvfb.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--module", required=True, help="the built brivora-signature-guard.so")
    parser.add_argument("--obs", default="obs", help="command that starts OBS (default: obs)")
    parser.add_argument("--readme", default=os.path.join(REPO, "README.md"))
    args = parser.parse_args()
    obs_cmd = shlex.split(args.obs)
    version = detect_obs_version(obs_cmd)
    with open(args.module, "rb") as f:
        module = f.read()
    foreign = bytearray(module)
    foreign[18:20] = (183).to_bytes(2, "little")  # e_machine: EM_AARCH64
    with open(args.readme) as f:
        readme = f.read()
    work = tempfile.mkdtemp(prefix="brivora-log-lines-")
    failed = 0
    starts = [("module", module, lambda log: f"User added source '{SIGNATURE}'" in log,
               lines_for(MODULE_LINES, version)),
              ("foreign-module", bytes(foreign), lambda log: "Startup complete" in log,
               lines_for(FAILURE_LINES, version))]
    for name, data, until, templates in starts:
        try:
            log = one_start(obs_cmd, version, work, name, data, until)
        except (HostError, Failed, ObsWsError) as exc:
            print(f"FAIL OBS {version[0]} ({name}): {exc}")
            failed += 1
            continue
        path = os.path.join(work, name, "home", ".config", "obs-studio", "plugins", PLUGIN_NAME, "bin", "64bit",
                            PLUGIN_NAME + ".so")
        print(f"# OBS {'.'.join(map(str, version))} ({name}), its lines naming the module:")
        for line in log.splitlines():
            if PLUGIN_NAME in line:
                print("  " + line)
        if name == "module" and "Source ID 'browser_source' not found" in log:
            templates = templates + lines_for(NO_BROWSER_LINES, version)
        for template in dict.fromkeys(templates):
            seen = len(pattern(template, path).findall(log))
            if seen != templates.count(template):
                print(f"FAIL OBS {version[0]} ({name}) logged {seen} lines '{template}', "
                      f"not {templates.count(template)}")
                failed += 1
            elif f"`{template}`" not in readme:
                print(f"FAIL the README does not quote OBS {version[0]}'s line `{template}`")
                failed += 1
            else:
                print(f"PASS OBS {version[0]} ({name}) logs `{template}`, as the README quotes it")
    if failed:
        print(f"# homes and logs kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
