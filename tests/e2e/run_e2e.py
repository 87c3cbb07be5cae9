#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""End-to-end tests: the built module inside the real OBS Studio application.

Each run seeds a throw-away home (profile, scene collection, user.ini,
obs-websocket on a free port), installs the module as a user plug-in, starts
OBS on an Xvfb display, drives it over obs-websocket and quits it with SIGINT.

  run_e2e.py --obs obs --module build/brivora-signature-guard.so [--host-name H]
  run_e2e.py ... --cycles [N]        N start-and-quit cycles (default 20)
  run_e2e.py --module PKG.tar.gz ...  the module from the tarball, unpacked
                                     into the home's plug-in folder
  run_e2e.py --installed ...         the module where the host finds it on its
                                     own (a package's system folders)
  run_e2e.py ... --scenario newcomer only the scenarios named (repeatable)
  run_e2e.py --chroot DIR [--module SO] [...]
                                     the same against the OBS 32 chroot made by
                                     scripts/obs32-chroot.sh (without --module the
                                     module is built inside the chroot)

Prints one PASS/FAIL line per check and ends with "N passed, M failed".
"""

import argparse
import json
import os
import shlex
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

try:
    import websocket  # python3-websocket
except ImportError:
    # The Debian package lives in the system interpreter; another python3
    # (a virtualenv, pyenv) first on PATH does not see it.
    if os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3") and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("run_e2e.py needs python3-websocket (apt-get install python3-websocket)")
else:
    del websocket  # obs_ws imports it

sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(REPO, "demo"))  # the demo and its OBS driver
import host_crashes  # noqa: E402
from emulation import EMULATED  # noqa: E402
from obs_driver import (LOAD_LINE, PINNED_POS, PREFIX, SCENE, SIGNATURE, WAIT, Failed, Service,  # noqa: E402
                        Session, basic_window_docks, check_host_quit, expect, host_name_from_cache, log_lines,
                        pinned_position, poll, signature_settings_problems)
from obs_session import (COLLECTION, HostError, ObsHome, ObsRun, Xvfb, browser_source,  # noqa: E402
                         color_source, detect_obs_version, parse_ini_sections, scene_collection)
from obs_ws import ObsWsError  # noqa: E402

UNLOAD_LINE = PREFIX + "Brivora Rurozezod Ivuri unloaded"
# OBS 30+ tear the frontend down before unloading modules and log this when a
# module removes its frontend callback only then.
LATE_REMOVAL_LINE = "Tried to call obs_frontend_remove_event_callback with no callbacks!"
PROBE_LINE = "[output-probe] on air: "  # the tests' own module, output-probe.cpp
SECOND_SCENE = "E2E Second Scene"

class Report:
    """PASS and FAIL lines with their counts. A trial report holds its lines
    until `merge` takes them over or the trial is dropped."""

    def __init__(self, trial=False):
        self.passed = 0
        self.failed = 0
        self.trial = trial
        self.lines = []

    def _line(self, text):
        if self.trial:
            self.lines.append(text)
        else:
            print(text, flush=True)

    def check(self, name, fn, *args):
        try:
            fn(*args)
        except (Failed, ObsWsError, HostError, OSError) as exc:
            # OSError: a file the host should have kept is missing.
            self.failed += 1
            self._line(f"FAIL {name}: {exc}")
            return False
        self.passed += 1
        self._line(f"PASS {name}")
        return True

    def fail(self, name, reason):
        self.failed += 1
        self._line(f"FAIL {name}: {reason}")

    def merge(self, trial):
        for line in trial.lines:
            self._line(line)
        self.passed += trial.passed
        self.failed += trial.failed


def run_trial(ctx, report, label, fn, *args):
    """Runs `fn(ctx, trial_report, *args)`, which starts OBS one or more times.
    When OBS crashed there, the crash is the host's own only without a frame of
    the module and when the bare host shows it too: then the trial is reported
    and run once more. Any other crash fails."""
    for attempt in (1, 2):
        trial = Report(trial=True)
        ObsRun.crashes.clear()
        fn(ctx, trial, *args)
        crashes = list(ObsRun.crashes)
        host_only = bool(crashes) and all(c.host_crash and c.run_again for c in crashes)
        if host_only and attempt == 1:
            ctx.host_crashes += len(crashes)
            for crash in crashes:
                print(f"# {label}: {crash.verdict()}; run again", flush=True)
            for line in trial.lines:
                print(f"# dropped with the crashed run: {line}", flush=True)
            continue
        for crash in crashes:
            if crash.host_crash:
                ctx.host_crashes += 1
                print(f"# {label}: {crash.verdict()}", flush=True)
            else:
                trial.fail(f"{ctx.tag}{label}: OBS crashed", crash.verdict())
        report.merge(trial)
        return


def check_clean_quit(status, log, host_late_removals=0, loads=1):
    check_host_quit(status, log)
    expect(len(log_lines(log, LOAD_LINE)) == loads, f"{len(log_lines(log, LOAD_LINE))} load lines, want {loads}")
    unloads = log_lines(log, UNLOAD_LINE)
    expect(len(unloads) == 1, f"{len(unloads)} unload lines, want 1")
    lines = log.splitlines()
    expect(lines.index(unloads[0]) > lines.index(log_lines(log, LOAD_LINE)[0]), "unload logged before load")
    late = [ln for ln in lines if LATE_REMOVAL_LINE in ln]
    expect(len(late) <= host_late_removals, f"frontend callback removed after the frontend was gone: {late} "
           f"(the host alone logs {host_late_removals})")


# ------------------------------------------------------------ the seeded homes

SLUG_A, TOKEN_INI, TOKEN_SCENE = "e2e-streamer", "e2eIniTok7Q2", "e2eSceneTok4F"
SLUG_B, TOKEN_B = "e2e-returning", "e2eReturnTok9K"
SLUG_C, TOKEN_C = "e2e-hostfmt", "e2eHostTok3M"


# A dock of the user's own, of another site, with a token of its own.
FOREIGN_DOCK = '{"title":"Other Site","url":"https://other.example/dock?widgetToken=FOREIGN","uuid":"0f0f"}'


def seed_service_user(ctx, home):
    """A streamer with the service's docks from older releases in user.ini (a
    login dock and a live dock) after a dock of another site with its own
    token, widgets of the service in the scene, and a duplicate alerts source
    under another name."""
    svc = ctx.service
    host = svc.base.split("/")[2]
    old_docks = ("[" + FOREIGN_DOCK + ',{"title":"Brivora Login","url":"https://login.' + host +
                 f'/obs/?widgetToken={TOKEN_INI}","uuid":"brivora_login_dock"}},'
                 '{"title":"Brivora Dock Live","url":"' + svc.base + f'/{SLUG_A}/live-dock/?dock=1'
                 f'&pluginVersion=1.1.0&widgetToken={TOKEN_INI}","uuid":"brivora_live_dock"}}]')
    user_ini = home.host_settings() + [
        ("BasicWindow", [("PreviewEnabled", "false"), ("E2EBeforeDocks", "kept=yes; a value with = and ;"),
                         ("ExtraBrowserDocks", old_docks), ("E2EAfterDocks", "[\"json-like\",1]")]),
        ("E2EKeep", [("Untouched", "this section and its key stay as they are"),
                     ("Path", "/tmp/some path/with spaces")]),
    ]
    widget = f"{svc.base}/{SLUG_A}"
    items = [
        (color_source("Backdrop"), {}),
        (browser_source("Brivora Goal", f"{widget}/widgets/goal/?widgetToken={TOKEN_SCENE}", 400, 100), {"pos": (20, 20)}),
        (browser_source("Stream Alerts Old", f"{widget}/widgets/alerts/?widgetToken={TOKEN_SCENE}"), {}),
        (browser_source("Brivora Alerts", f"{widget}/widgets/alerts/?widgetToken={TOKEN_SCENE}"), {"locked": True}),
        (browser_source("Unrelated Page", "https://example.org/overlay/?token=abc"), {"pos": (0, 500)}),
    ]
    home.seed(scene_collection(SCENE, items), user_ini)
    return user_ini


def plain_user_ini(ctx, home):
    """user.ini of a user without the service's docks: none on OBS 29 and 30,
    which never make one; on OBS 31 and later the host's own settings (without
    them OBS 32 starts over with an "Untitled" profile and collection)."""
    if not ctx.host_writes_user_ini:
        return None
    return home.host_settings() + [("BasicWindow", [("PreviewEnabled", "false")])]


def seed_returning_user(ctx, home):
    """No service line in user.ini; the signature source of an earlier run,
    out of place and with stale settings, is the only trace of the service."""
    url = f"{ctx.service.base}/{SLUG_B}/widgets/signature/?widgetToken={TOKEN_B}&theme=dark"
    sig = browser_source(SIGNATURE, url, 300, 50, shutdown=True, restart_when_active=False)
    items = [(sig, {"visible": False, "locked": False, "pos": (5, 5)}), (color_source("Backdrop"), {})]
    home.seed(scene_collection(SCENE, items), plain_user_ini(ctx, home))


def host_format_docks(ctx):
    """The docks line as OBS 31+ writes it from its own list: a space after
    each ',' and ':', the user's own dock first ('\\' doubled by the host's INI
    layer), the service's docks in the other order."""
    def dock(title, url, uuid):
        return f'{{"title": "{title}", "url": "{url}", "uuid": "{uuid}"}}'
    tail = f"?dock=1&pluginVersion=1.2.0&widgetToken={TOKEN_C}"
    docks = [dock('Notes \\\\"mine\\\\"', "https://notes.example/?a=1&b=2", "4b1d2f"),
             dock("Brivora Chat", f"{ctx.service.base}/{SLUG_C}/chat/{tail}", "brivora_chat_dock"),
             dock("Brivora Dock Live", f"{ctx.service.base}/{SLUG_C}/live-dock/{tail}", "brivora_live_dock")]
    return "[" + ", ".join(docks) + "]"


def seed_host_format_user(ctx, home):
    """user.ini holds the service's current docks and one of the user's own, in
    the host's format; a chat of another service with a token in the scene."""
    user_ini = (home.host_settings() if ctx.host_writes_user_ini else []) + [
        ("BasicWindow", [("PreviewEnabled", "false"), ("ExtraBrowserDocks", host_format_docks(ctx))])]
    items = [(color_source("Backdrop"), {}),
             (browser_source("Other Chat", "https://chat.other.example/embed?token=SECRET"), {})]
    home.seed(scene_collection(SCENE, items), user_ini)


def seed_newcomer(ctx, home):
    """Nothing of the service anywhere: user.ini without it, an unrelated scene."""
    home.seed(scene_collection(SCENE, [(color_source("Backdrop"), {})]), plain_user_ini(ctx, home))


OTHER_COLLECTION, OTHER_SCENE = "E2E Other", "Other Scene"


def seed_two_collections(ctx, home):
    """Two collections of one scene each (OBS 32 can quit uncleanly with
    several scenes): the current one with a widget of the service, the other
    with sources of its own. Returns {collection: (scene, input names)}."""
    goal = f"{ctx.service.base}/{SLUG_A}/widgets/goal/?widgetToken={TOKEN_SCENE}"
    first = [(color_source("Backdrop"), {}), (browser_source("Brivora Goal", goal, 400, 100), {})]
    other = [(color_source("Other Backdrop"), {}), (browser_source("Other Page", "https://example.org/page/"), {})]
    home.seed(scene_collection(SCENE, first), plain_user_ini(ctx, home),
              more_collections=[scene_collection(OTHER_SCENE, other, OTHER_COLLECTION)])
    return {COLLECTION: (SCENE, [src.name for src, _ in first]),
            OTHER_COLLECTION: (OTHER_SCENE, [src.name for src, _ in other])}


# ------------------------------------------------------------------- scenarios

def drive(ctx, report, home, name, label, while_running, quit_check=None):
    """Starts OBS on `home`, runs `while_running(session)` and quits OBS,
    reporting a failure to start or drive it, and checks the quit. Returns
    OBS's log, or None when the scenario could not run to its quit."""
    t = ctx.tag + (f"{label}: " if label else "")
    try:
        s = Session(ctx, home, name)
    except HostError as exc:
        report.fail(f"{t}start OBS with the module", exc)
        return None
    try:
        while_running(s)
        status, log = s.quit()
    except (ObsWsError, HostError) as exc:
        report.fail(f"{t}drive OBS", f"{exc} ({s.run.state()})")
        s.abort()
        return None
    if s.run.died_quitting_emulated():
        return log  # reported with the crashes, not a check of the module's quit
    report.check(t + (quit_check or "clean quit"), check_clean_quit, status, log, ctx.late_removals)
    return log


def scenario_service_user(ctx, report):
    home = ctx.new_home("service-user")
    seeded_ini = seed_service_user(ctx, home)
    svc = ctx.service
    want_url = svc.signature_url(SLUG_A, TOKEN_INI)
    want_docks = svc.dock_line(SLUG_A, TOKEN_INI, kept=[FOREIGN_DOCK])
    docks_log = PREFIX + f"Brivora: OBS docks updated for {SLUG_A}. Restart OBS if the old login docks are still open."
    t = ctx.tag

    def while_running(s):
        def loaded():
            poll("load line in the log", lambda: (len(log_lines(s.log(), LOAD_LINE)) == 1,
                                                  f"{len(log_lines(s.log(), LOAD_LINE))} load lines"))
        report.check(f"{t}module loaded: load line logged once", loaded)

        def pinned():
            s.wait_pinned()
            s.wait_settings(want_url)
        report.check(f"{t}signature: browser_source with url/560x80/shutdown=false/restart_when_active=true, "
                     f"slug and token from user.ini; item visible, locked, at (1348, 992), on top", pinned)

        def alerts():
            def probe():
                names = [item["sourceName"] for item in s.items()]
                return "Stream Alerts Old" not in names, names
            names = poll("duplicate alerts item removed", probe)
            for keep in ("Brivora Alerts", "Brivora Goal", "Backdrop", "Unrelated Page"):
                expect(keep in names, f"'{keep}' was removed too; items left: {names}")
            lines = log_lines(s.log(), PREFIX + "removing duplicate alerts source: Stream Alerts Old")
            expect(len(lines) == 1, f"{len(lines)} 'removing duplicate alerts source: Stream Alerts Old' lines")
            others = [ln for ln in s.log().splitlines() if "removing duplicate alerts source:" in ln
                      and not ln.endswith("Stream Alerts Old")]
            expect(not others, f"other removals logged: {others}")
        report.check(f"{t}alerts: duplicate under another name removed and logged, 'Brivora Alerts' and others kept", alerts)

        def docks_running():
            def probe():
                text = home.read_user_ini()
                docks = basic_window_docks(text or "")
                return docks == [want_docks], docks
            poll("dock line in [BasicWindow] of user.ini", probe)
            expect(len(log_lines(s.log(), docks_log)) >= 1, "no 'OBS docks updated' line in the log")
        report.check(f"{t}user.ini: [BasicWindow] holds the user's own dock, then exactly the two service docks "
                     f"(live, chat) with slug and token", docks_running)

        restore_checks(ctx, report, s)
        new_scene_check(ctx, report, s)

    if drive(ctx, report, home, "service-user", "", while_running,
             "quit: exit status 0, no memory leaks, one load and one unload line") is None:
        return

    def docks_after_quit():
        text = home.read_user_ini()
        expect(text is not None, "user.ini is gone")
        expect(basic_window_docks(text) == [want_docks], f"dock lines after quit: {basic_window_docks(text)}")
        sections = parse_ini_sections(text)
        for section, keys in seeded_ini:
            if section == "E2EKeep" or section == "BasicWindow":
                for key, value in keys:
                    if key != "ExtraBrowserDocks":
                        expect(f"{key}={value}" in sections.get(section, []),
                               f"[{section}] {key}={value} lost; section now {sections.get(section)}")
    report.check(f"{t}user.ini after quit: dock line kept, other keys and sections intact", docks_after_quit)

    def saved_collection():
        data = home.read_collection()
        sources = {src["name"]: src for src in data["sources"]}
        expect(SIGNATURE in sources, f"no '{SIGNATURE}' source saved")
        sig = sources[SIGNATURE]
        expect(sig["id"] == "browser_source", f"saved kind {sig['id']}")
        problems = signature_settings_problems(sig["settings"], want_url)
        expect(not problems, "saved settings: " + "; ".join(problems))
        scenes = [src for src in data["sources"] if src["id"] == "scene"]
        expect([sc["name"] for sc in scenes] == [SCENE], f"saved scenes {[sc['name'] for sc in scenes]}")
        names = [item["name"] for item in scenes[0]["settings"]["items"]]
        expect(names and names[-1] == SIGNATURE, f"saved items (bottom first): {names}")
        expect("Stream Alerts Old" not in names and "Brivora Alerts" in names, f"saved items: {names}")
        item = scenes[0]["settings"]["items"][-1]
        expect(item["visible"] and item["locked"] and (item["pos"]["x"], item["pos"]["y"]) == PINNED_POS,
               f"saved item: visible={item['visible']} locked={item['locked']} pos={item['pos']}")
    report.check(f"{t}saved scene collection: signature source and pinned item kept, duplicate alerts gone", saved_collection)


def restore_checks(ctx, report, s):
    t = ctx.tag

    def after_removal():
        old = s.wait_pinned()
        s.ws.clear_events()
        s.ws.request("RemoveSceneItem", sceneName=SCENE, sceneItemId=old["sceneItemId"])
        s.ws.wait_event("SceneItemRemoved", lambda d: d.get("sceneItemId") == old["sceneItemId"])
        new = s.wait_pinned()
        expect(new["sceneItemId"] != old["sceneItemId"], "the removed item is still there")

    def after_user_edit(request, fields, event, seen):
        """Makes one edit to the pinned item as the user would, waits until the
        host reports it, then until a pass has pinned the item again."""
        def check():
            item = s.wait_pinned()
            s.ws.clear_events()
            s.ws.request(request, sceneName=SCENE, sceneItemId=item["sceneItemId"], **fields)
            s.ws.wait_event(event, lambda d: seen(item["sceneItemId"], d))
            s.wait_pinned()
        return check

    after_move = after_user_edit(
        "SetSceneItemTransform", {"sceneItemTransform": {"positionX": 100.0, "positionY": 200.0}},
        "SceneItemTransformChanged",
        lambda i, d: d.get("sceneItemId") == i and d["sceneItemTransform"]["positionX"] == 100.0)
    after_unlock = after_user_edit(
        "SetSceneItemLocked", {"sceneItemLocked": False}, "SceneItemLockStateChanged",
        lambda i, d: d.get("sceneItemId") == i and d.get("sceneItemLocked") is False)
    after_hide = after_user_edit(
        "SetSceneItemEnabled", {"sceneItemEnabled": False}, "SceneItemEnableStateChanged",
        lambda i, d: d.get("sceneItemId") == i and d.get("sceneItemEnabled") is False)
    after_lower = after_user_edit(
        "SetSceneItemIndex", {"sceneItemIndex": 0}, "SceneItemListReindexed",
        lambda i, d: any(x["sceneItemId"] == i and x["sceneItemIndex"] == 0 for x in d.get("sceneItems", [])))

    def after_settings_edit():
        want = ctx.service.signature_url(SLUG_A, TOKEN_INI)
        s.wait_settings(want)
        s.ws.request("SetInputSettings", inputName=SIGNATURE,
                     inputSettings={"url": "https://example.org/other/", "width": 1200, "height": 300,
                                    "shutdown": True, "restart_when_active": False})
        s.wait_settings(want)

    report.check(f"{t}restore: item re-added after the user removes it", after_removal)
    report.check(f"{t}restore: item moved back to (1348, 992) after the user moves it", after_move)
    report.check(f"{t}restore: item locked again after the user unlocks it", after_unlock)
    report.check(f"{t}restore: item shown again after the user hides it", after_hide)
    report.check(f"{t}restore: item back on top after the user moves it to the bottom", after_lower)
    report.check(f"{t}restore: five settings put back after the user edits them", after_settings_edit)


def new_scene_check(ctx, report, s):
    t = ctx.tag

    def new_scene():
        s.ws.request("CreateScene", sceneName=SECOND_SCENE)
        try:
            s.request_and_wait("SetCurrentProgramScene", "CurrentProgramSceneChanged",
                               lambda d: d.get("sceneName") == SECOND_SCENE, sceneName=SECOND_SCENE)
            s.wait_pinned(SECOND_SCENE)
            items = s.items(SECOND_SCENE)
            expect(len(items) == 1, f"the new scene holds {[i['sourceName'] for i in items]}")
        finally:
            s.request_and_wait("SetCurrentProgramScene", "CurrentProgramSceneChanged",
                               lambda d: d.get("sceneName") == SCENE, sceneName=SCENE)
            s.remove_scene(SECOND_SCENE)
        s.wait_pinned(SCENE)
    report.check(f"{t}new scene: gets the pinned signature item once it is current", new_scene)


def scenario_returning_user(ctx, report):
    home = ctx.new_home("returning-user")
    seed_returning_user(ctx, home)
    t = ctx.tag
    want_url = ctx.service.signature_url(SLUG_B, TOKEN_B)
    want_docks = ctx.service.dock_line(SLUG_B, TOKEN_B)
    def while_running(s):
        def corrected():
            s.wait_pinned()
            s.wait_settings(want_url)
        report.check(f"{t}returning user: stale signature source corrected in place, slug and token "
                     f"learnt from its url", corrected)

        def user_ini_running():
            if ctx.host_writes_user_ini:
                poll("dock line in user.ini", lambda: (
                    lambda docks: (docks == [want_docks], docks))(basic_window_docks(home.read_user_ini() or "")))
            else:
                expect(home.read_user_ini() is None, "user.ini was created")
        report.check(f"{t}returning user: " + ("dock line added to user.ini" if ctx.host_writes_user_ini
                                               else "no user.ini created while running"), user_ini_running)

    if drive(ctx, report, home, "returning-user", "returning user", while_running) is None:
        return

    def user_ini():
        text = home.read_user_ini()
        if ctx.host_writes_user_ini:
            expect(text is not None, "user.ini is gone")
            expect(basic_window_docks(text) == [want_docks], f"dock lines after quit: {basic_window_docks(text)}")
        else:
            expect(text is None, "user.ini was created")
    report.check(f"{t}returning user: " + ("dock line still in user.ini after quit" if ctx.host_writes_user_ini
                                           else "no user.ini created by quit"), user_ini)


def scenario_newcomer(ctx, report):
    home = ctx.new_home("newcomer")
    seed_newcomer(ctx, home)
    t = ctx.tag

    def while_running(s):
        def default_signature():
            s.wait_pinned()
            s.wait_settings(ctx.service.signature_url("dravelo"))
        report.check(f"{t}newcomer: signature with the default slug and no token", default_signature)

    log = drive(ctx, report, home, "newcomer", "newcomer", while_running)
    if log is None:
        return

    def no_docks():
        expect(not [ln for ln in log.splitlines() if "OBS docks updated" in ln], "docks updated without a token")
        text = home.read_user_ini()
        if ctx.host_writes_user_ini:
            expect(text is not None, "user.ini is gone")
            expect(not [ln for ln in basic_window_docks(text) if "/brivora/" in ln],
                   f"dock line written without a token: {basic_window_docks(text)}")
        else:
            expect(text is None, "user.ini was created")
    report.check(f"{t}newcomer: no dock line without a token", no_docks)


def scenario_host_format_user(ctx, report):
    home = ctx.new_home("host-format-user")
    seed_host_format_user(ctx, home)
    t = ctx.tag
    want_line = "ExtraBrowserDocks=" + host_format_docks(ctx)
    def while_running(s):
        def learnt_and_left_alone():
            s.wait_pinned()
            s.wait_settings(ctx.service.signature_url(SLUG_C, TOKEN_C))
            s.tick_pass()  # one more pass, after the user hides the item
            docks = basic_window_docks(home.read_user_ini() or "")
            expect(docks == [want_line], f"dock lines while running: {docks}")
        report.check(f"{t}host format: slug and token learnt (not the other service's), "
                     f"docks line in the host's format left alone while running", learnt_and_left_alone)

    log = drive(ctx, report, home, "host-format-user", "host format", while_running)
    if log is None:
        return

    def kept():
        expect(not [ln for ln in log.splitlines() if "OBS docks updated" in ln], "user.ini was rewritten")
        docks = basic_window_docks(home.read_user_ini() or "")
        expect(docks == [want_line], f"dock lines after quit: {docks}")
    report.check(f"{t}host format: nothing written at passes or at unload, the user's dock kept", kept)


def scenario_new_token(ctx, report):
    """The module's docks of an earlier run with the old token in user.ini (seeded
    as OBS 31+ keeps it), the streamer's widget with a new one in the live scene.
    Then, that widget gone, the streamer changes the dock line while OBS runs."""
    home, svc, t, slug = ctx.new_home("new-token"), ctx.service, ctx.tag + "new token: ", "e2e-renewed"
    new, edited = "e2eNewTok5R", "e2eEditedTok8W"
    goal = browser_source("Brivora Goal", f"{svc.base}/{slug}/widgets/goal/?widgetToken={new}")
    home.seed(scene_collection(SCENE, [(goal, {})]),
              home.host_settings() + [("BasicWindow", [tuple(svc.dock_line(slug, "e2eOldTok2D").split("=", 1))])])

    def docks_hold(token):
        poll(f"docks with {token}", lambda: (lambda d: (d == [svc.dock_line(slug, token)], d))(
            basic_window_docks(home.read_user_ini() or "")))

    def follows(s):
        report.check(f"{t}from the live scene, it replaces the docks' old one in the signature and the docks",
                     lambda: (s.wait_settings(svc.signature_url(slug, new)), docks_hold(new)))
        s.ws.request("RemoveInput", inputName="Brivora Goal")

    def edits(s):  # the token learnt back from the module's own outputs, then the streamer's edit
        report.check(f"{t}the streamer changes the dock line while OBS runs", lambda: (
            s.wait_settings(svc.signature_url(slug, new)),
            home.write(home.user_ini, home.read_user_ini().replace(new, edited))))

    log = drive(ctx, report, home, "new-token", "new token", follows)
    # OBS 31+ write their own copy of user.ini over an outside edit at exit.
    if log is None or ctx.host_writes_user_ini:
        return
    # The second start needs the collection saved without the widget: an
    # emulated host that died while quitting (its own fault) may not have.
    if not log_lines(log, UNLOAD_LINE):
        print(f"# {t}the first run did not quit cleanly: the edited dock line is not tried", flush=True)
        return
    if drive(ctx, report, home, "new-token-edited", "dock line edited", edits) is not None:
        report.check(f"{t}the changed dock line is not put back at exit", docks_hold, edited)


COLLECTION_SWITCHES = 20
NOT_ALL_CLEARED = "Not all sources were cleared"  # OBS 30+, when a collection leaves a source behind


def scenario_collections(ctx, report):
    home = ctx.new_home("collections")
    collections = seed_two_collections(ctx, home)
    t = ctx.tag + "collections: "
    switch_seconds = []

    def while_running(s):
        def switches():
            s.wait_pinned(SCENE)
            for n in range(1, COLLECTION_SWITCHES + 1):
                name = OTHER_COLLECTION if n % 2 else COLLECTION
                scene, inputs = collections[name]
                started = time.monotonic()
                s.ws.clear_events()
                s.ws.request("SetCurrentSceneCollection", sceneCollectionName=name)
                s.ws.wait_event("CurrentSceneCollectionChanged",
                                lambda d: d.get("sceneCollectionName") == name, timeout=WAIT)
                switch_seconds.append(time.monotonic() - started)
                s.wait_pinned(scene)
                live = sorted(i["inputName"] for i in s.ws.request("GetInputList")["inputs"])
                expect(live == sorted(inputs + [SIGNATURE]), f"switch {n}, to '{name}': inputs {live}")
            # A SIGINT right after the switches crashed OBS 29 while it
            # painted a dock (5 in 12 quits, without the module too), as
            # right after start.
            s.settle(s.ws.request("GetStats")["renderTotalFrames"] + 20)
        report.check(f"{t}{COLLECTION_SWITCHES} switches, each collection with only its own inputs "
                     f"and the pinned signature", switches)

    log = drive(ctx, report, home, "collections", "collections", while_running)
    if switch_seconds:
        print(f"# {len(switch_seconds)} collection switches: {sum(switch_seconds) / len(switch_seconds):.2f} s "
              f"on average, {max(switch_seconds):.2f} s at most", flush=True)
    if log is None:
        return

    def saved():
        expect(NOT_ALL_CLEARED not in log, [ln for ln in log.splitlines() if NOT_ALL_CLEARED in ln])
        for name, (scene, inputs) in collections.items():
            sources = [src["name"] for src in home.read_collection(name)["sources"]]
            expect(sorted(sources) == sorted([scene, SIGNATURE] + inputs), f"'{name}' saved {sources}")
        # The switches end where they began: the signature item on top there.
        saved_scene = next(src for src in home.read_collection(COLLECTION)["sources"] if src["name"] == SCENE)
        names = [item["name"] for item in saved_scene["settings"]["items"]]
        expect(names[-1:] == [SIGNATURE], f"'{COLLECTION}' saved items (bottom first): {names}")
    report.check(f"{t}no source left behind, each collection saved with its own sources and the signature",
                 saved)


def scenario_canvas(ctx, report):
    """A 1280x720 canvas, then a vertical 1080x1920 one set while OBS runs."""
    home = ctx.new_home("canvas")
    home.seed(scene_collection(SCENE, [(color_source("Backdrop"), {})]), plain_user_ini(ctx, home),
              canvas=(1280, 720))
    t = ctx.tag
    vertical = (1080, 1920)

    def while_running(s):
        def landscape():
            s.pinned_pos = pinned_position((1280, 720))
            s.wait_pinned()
        # The canvas changes only once OBS has finished starting. OBS 32's
        # obs-websocket answers while the main window is still being set up
        # and resets the video on its own thread, which crashes OBS, module
        # or not (the bare host, whose crash-rate baseline changes the canvas
        # at once, shows it): a tick pass comes only after that set-up.
        if ctx.module is not None:
            report.check(f"{t}canvas: on 1280x720 the signature sits in its bottom-right corner, "
                         f"at {pinned_position((1280, 720))}", landscape)
            report.check(f"{t}canvas: hidden on 1280x720, the signature is shown again", s.tick_pass)

        def turned():
            s.ws.request("SetVideoSettings", baseWidth=vertical[0], baseHeight=vertical[1],
                         outputWidth=vertical[0] // 3, outputHeight=vertical[1] // 3)
            s.pinned_pos = pinned_position(vertical)
            s.wait_pinned()
        report.check(f"{t}canvas: changed to 1080x1920 while running, the signature follows to "
                     f"{pinned_position(vertical)}", turned)

    if drive(ctx, report, home, "canvas", "canvas", while_running) is None:
        return

    def saved():
        items = [src for src in home.read_collection()["sources"] if src["id"] == "scene"][0]["settings"]["items"]
        pos = [(i["pos"]["x"], i["pos"]["y"]) for i in items if i["name"] == SIGNATURE]
        expect(pos == [pinned_position(vertical)], f"saved signature item positions: {pos}")
    report.check(f"{t}canvas: the saved collection keeps the item in the vertical canvas's corner", saved)


def on_air(s):
    """What the output shows, as the output probe last logged it: {"scene",
    "private", "items": [{"name", "x", "y", "visible", "locked"}]}, or None."""
    lines = [ln.split(PROBE_LINE, 1)[1] for ln in s.log().splitlines() if PROBE_LINE in ln]
    return json.loads(lines[-1]) if lines else None


STUDIO_OTHER = "Studio Other"
ALERTS_URL = "https://other.example/alerts/box"  # another service's alerts overlay


def scenario_studio_mode(ctx, report):
    """Studio Mode with "Duplicate Scene" and "Swap Scenes" on (OBS's
    defaults), then both off. Leaving it never sweeps the preview; after a
    transition what the output shows (a private copy of the program scene
    when duplicating) holds the pinned signature and no alerts overlay."""
    if not ctx.probe:
        print(f"# {ctx.tag}studio mode: no output probe beside the module, not run", flush=True)
        return
    for duplicate in (True, False):
        home = ctx.new_home("studio-mode")
        home.install_plugin(ctx.probe)
        items = [(color_source("Backdrop"), {})]
        other = [(color_source("Other Backdrop"), {}), (browser_source("Stream Alerts", ALERTS_URL), {})]
        modes = [("SceneDuplicationMode", str(duplicate).lower()), ("SwapScenesMode", str(duplicate).lower())]
        user_ini = plain_user_ini(ctx, home)
        home.seed(scene_collection(SCENE, items, more_scenes=[(STUDIO_OTHER, other)]),
                  user_ini and user_ini + [("BasicWindow", modes)], basic_window=modes)
        label = f"studio mode, {'duplicate and swap' if duplicate else 'no duplicate, no swap'}"
        drive(ctx, report, home, "studio-mode", label, lambda s: studio_mode_checks(ctx, report, s, duplicate, label))


def studio_mode_checks(ctx, report, s, duplicate, label):
    t = f"{ctx.tag}{label}: "

    def names(scene):
        return [item["sourceName"] for item in s.items(scene)]

    def studio(enabled):
        s.request_and_wait("SetStudioModeEnabled", "StudioModeStateChanged",
                           lambda d: d.get("studioModeEnabled") is enabled, WAIT, studioModeEnabled=enabled)

    def preview(scene):
        if s.ws.request("GetCurrentPreviewScene")["currentPreviewSceneName"] != scene:  # swapped in already
            s.request_and_wait("SetCurrentPreviewScene", "CurrentPreviewSceneChanged",
                               lambda d: d.get("sceneName") == scene, WAIT, sceneName=scene)

    def add_alerts(scene, name):
        s.ws.request("CreateInput", sceneName=scene, inputName=name, inputKind="color_source_v3",
                     inputSettings={"url": ALERTS_URL})

    def wait_on_air(scene, copy=duplicate):
        """The output shows `scene` (a private copy of it in Studio Mode when
        duplicating) with the signature pinned on top and no alerts overlay."""
        def probe():
            shown = on_air(s)
            if not shown:
                return False, "nothing logged by the probe"
            problems = [] if shown["scene"] == scene else [f"scene {shown['scene']!r}"]
            if shown["private"] is not copy:
                problems.append(f"private={shown['private']}")
            top = shown["items"][-1] if shown["items"] else {}
            if top.get("name") != SIGNATURE or not (top["visible"] and top["locked"]) or \
                    (top["x"], top["y"]) != PINNED_POS:
                problems.append(f"top item {top}")
            problems += [f"alerts {i['name']!r}" for i in shown["items"] if "Alerts" in i["name"]]
            return not problems, "; ".join(problems)
        poll(f"'{scene}' on air", probe)

    def preview_left_alone():
        s.wait_pinned()
        wait_on_air(SCENE, copy=False)
        studio(True)
        wait_on_air(SCENE)
        preview(STUDIO_OTHER)
        add_alerts(STUDIO_OTHER, "Foreign Alerts")
        s.tick_pass()
        studio(False)
        s.tick_pass()  # a pass after the host has left Studio Mode
        kept = names(STUDIO_OTHER)
        expect(kept == ["Other Backdrop", "Stream Alerts", "Foreign Alerts"], f"the preview scene holds {kept}")
        removed = [ln for ln in s.log().splitlines() if "removing duplicate alerts source:" in ln]
        expect(not removed, f"removed: {removed}")
    report.check(f"{t}leaving Studio Mode leaves the preview scene's alerts overlays alone", preview_left_alone)

    def transitions():
        studio(True)
        # Into the live scene: a scene without the signature and with two
        # alerts overlays, then one where the streamer moved the signature
        # and added an overlay while it was in the preview.
        for scene in (STUDIO_OTHER, SCENE):
            preview(scene)
            if scene == SCENE:
                item = s.signature_item(SCENE)
                s.ws.request("SetSceneItemLocked", sceneName=SCENE, sceneItemId=item["sceneItemId"],
                             sceneItemLocked=False)
                s.ws.request("SetSceneItemTransform", sceneName=SCENE, sceneItemId=item["sceneItemId"],
                             sceneItemTransform={"positionX": 100.0, "positionY": 100.0})
                add_alerts(SCENE, "Late Alerts")
                s.tick_pass(STUDIO_OTHER)
                moved = s.signature_item(SCENE)["sceneItemTransform"]
                expect((moved["positionX"], moved["positionY"]) == (100.0, 100.0) and "Late Alerts" in names(SCENE),
                       f"the preview scene was changed: {names(SCENE)}, signature at {moved}")
            s.request_and_wait("TriggerStudioModeTransition", "CurrentProgramSceneChanged",
                               lambda d, scene=scene: d.get("sceneName") == scene, WAIT)
            wait_on_air(scene)
            s.wait_pinned(scene)
            expect(not [n for n in names(scene) if "Alerts" in n], f"program scene '{scene}': {names(scene)}")
    report.check(f"{t}after each transition the output shows the signature pinned and no alerts overlay",
                 transitions)

    studio(False)
    s.remove_scene(STUDIO_OTHER)
    # Leaving Studio Mode lays the main window out anew: a SIGINT while it
    # is painted can hang OBS 29, module or not.
    s.settle(s.ws.request("GetStats")["renderTotalFrames"] + 20)


def baseline_cycle(ctx, report, home, n, count):
    name = f"{ctx.tag}baseline cycle {n}/{count} without the module: exit 0, no leaks"
    try:
        s = Session(ctx, home, f"baseline-{n:02d}")
        status, log = s.quit()
    except (ObsWsError, HostError) as exc:
        report.fail(name, exc)
        return
    report.check(name, check_host_quit, status, log)


def run_baseline_cycles(ctx, report, count):
    """The same cycles on the bare host, to tell its own faults from ours."""
    home = ctx.new_home("baseline-cycles")
    seed_service_user(ctx, home)
    for n in range(1, count + 1):
        run_trial(ctx, report, f"baseline cycle {n}", baseline_cycle, home, n, count)


def cycle(ctx, report, home, n, count):
    name = f"{ctx.tag}cycle {n}/{count}: start, pinned signature, SIGINT quit, exit 0, no leaks, unloaded"
    # The streamer's older login dock teaches its token while it is there;
    # once the repair has replaced it, only the module's own docks hold that
    # token, and the streamer's widget in the scene outranks them.
    token = TOKEN_INI if "brivora_login_dock" in (home.read_user_ini() or "") else TOKEN_SCENE
    try:
        s = Session(ctx, home, f"cycle-{n:02d}")
    except HostError as exc:
        report.fail(name, exc)
        return
    try:
        s.wait_pinned()
        s.wait_settings(ctx.service.signature_url(SLUG_A, token))
        s.tick_pass()  # so that every cycle quits with the module mid-run
        status, log = s.quit()
    except (Failed, ObsWsError, HostError) as exc:
        report.fail(name, f"{exc} ({s.run.state()})")
        s.abort()
        return
    report.check(name, check_clean_quit, status, log, ctx.late_removals)


def run_cycles(ctx, report, count):
    home = ctx.new_home("cycles")
    seed_service_user(ctx, home)
    for n in range(1, count + 1):
        run_trial(ctx, report, f"cycle {n}", cycle, home, n, count)


def measure_crash_rate(ctx, names, count):
    """Runs each scenario `count` times and counts OBS's crashes, for the
    benchmark script: with --baseline, on the bare host (whose scenario checks
    fail, unseen: only its crashes count)."""
    for name in names:
        crashes = []
        for n in range(1, count + 1):
            ObsRun.crashes.clear()
            SCENARIOS[name](ctx, Report(trial=True))
            crashes += ObsRun.crashes
            print(f"# {name} {n}/{count}: " + ("; ".join(c.verdict() for c in ObsRun.crashes) or "no crash"),
                  flush=True)
        ours = sum(1 for c in crashes if not c.host_crash)
        print(f"{ctx.tag}{name} {'without' if ctx.module is None else 'with'} the module: {len(crashes)} crashes "
              f"in {count} runs ({ours} not known from the bare host)", flush=True)


# The module's logic is the same on every architecture; emulation makes each
# OBS start several times as long: these run in the native hosts only.
NATIVE_ONLY = ("new-token", "studio-mode")
SCENARIOS = {"service-user": scenario_service_user, "returning-user": scenario_returning_user,
             "new-token": scenario_new_token,
             "newcomer": scenario_newcomer, "host-format-user": scenario_host_format_user,
             "collections": scenario_collections, "canvas": scenario_canvas, "studio-mode": scenario_studio_mode}


# ------------------------------------------------------------------------ main

class Context:
    def __init__(self, args):
        self.obs_cmd = shlex.split(args.obs)
        self.module = None if args.baseline or args.installed else os.path.abspath(args.module)
        probe = os.path.join(os.path.dirname(self.module or ""), "brivora-output-probe.so")
        self.probe = probe if self.module and os.path.isfile(probe) else None
        # Every crash leaves a core, read for its backtrace and removed
        # unless asked to keep.
        self.core_dumps = True
        obs_binary = shutil.which(self.obs_cmd[0]) or self.obs_cmd[0]
        ObsRun.examine_crash = lambda run_dir, name, status, quitting: host_crashes.examine(
            run_dir, name, status, obs_binary, self.version, keep_core=args.core_dumps, quitting=quitting)
        self.host_crashes = 0
        self.service = Service(args.host_name)
        self.version = detect_obs_version(self.obs_cmd)
        self.host_writes_user_ini = self.version >= (31, 0, 0)
        self.tag = f"[OBS {self.version[0]}] "
        self.work = args.work_dir or tempfile.mkdtemp(prefix="brivora-e2e-")
        os.makedirs(self.work, exist_ok=True)
        self.data_dir = args.data_dir
        self.display = None
        self._homes = 0
        self.late_removals = 0

    def count_host_late_removals(self):
        """How often the bare host logs LATE_REMOVAL_LINE at quit: from OBS 30
        on, its own modules remove their callbacks too late as well."""
        home = ObsHome(os.path.join(self.work, "00-bare-host"), self.version, None, self.data_dir)
        seed_newcomer(self, home)
        status, log = Session(self, home, "bare-host").quit()
        check_host_quit(status, log)
        self.late_removals = sum(LATE_REMOVAL_LINE in ln for ln in log.splitlines())

    def new_home(self, name):
        self._homes += 1
        root = os.path.join(self.work, f"{self._homes:02d}-{name}")
        return ObsHome(root, self.version, self.module, self.data_dir)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--obs", default="obs", help="command that starts OBS (default: obs)")
    parser.add_argument("--module", help="the built brivora-signature-guard.so")
    parser.add_argument("--host-name", help="service host the module was built with "
                        "(default: BRIVORA_SERVICE_HOST from the CMakeCache.txt above the module)")
    parser.add_argument("--cycles", type=int, nargs="?", const=20, default=None,
                        help="run N start-and-quit cycles instead of the scenarios (default N: 20)")
    parser.add_argument("--installed", action="store_true",
                        help="the module is installed where OBS finds it on its own: homes get no copy of it")
    parser.add_argument("--scenario", action="append", choices=sorted(SCENARIOS),
                        help="run only this scenario (repeatable; default: all)")
    parser.add_argument("--baseline", action="store_true",
                        help="with --cycles or --crash-rate: without the module, to tell the host's own faults from ours")
    parser.add_argument("--crash-rate", type=int, metavar="N",
                        help="run the scenarios N times each and count OBS's crashes (a measurement: no checks)")
    parser.add_argument("--core-dumps", action="store_true",
                        help="keep the core file a crashing OBS leaves in its run folder (read and removed by default)")
    parser.add_argument("--data-dir", default=os.path.join(REPO, "data"),
                        help="the module's data folder to install beside it (default: the repository's data/)")
    parser.add_argument("--work-dir", help="where the homes and logs go (default: a new temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder even when everything passed")
    parser.add_argument("--chroot", metavar="DIR", help="run inside the OBS 32 chroot of scripts/obs32-chroot.sh")
    parser.add_argument("--module-version", help="the version the module's load line names (default: 1.2.0, "
                        "this source's; a package's upgrade test installs another)")
    args = parser.parse_args()
    if args.module_version:
        global LOAD_LINE
        LOAD_LINE = PREFIX + f"Brivora Rurozezod Ivuri loaded (version {args.module_version})"
    if args.cycles is not None and args.cycles < 1:
        parser.error("--cycles needs a positive count")
    if args.baseline and args.cycles is None and args.crash_rate is None:
        parser.error("--baseline goes with --cycles or --crash-rate")
    if args.installed and (args.module or args.baseline):
        parser.error("--installed goes without --module and --baseline")
    return args


def delegate_to_chroot(args):
    cmd = [os.path.join(REPO, "scripts", "obs32-chroot.sh"), "--root", args.chroot, "e2e"]
    if args.module:
        cmd += ["--module", os.path.abspath(args.module)]
    if args.host_name:
        cmd += ["--host-name", args.host_name]
    for option in ("cycles", "crash_rate"):
        if getattr(args, option) is not None:
            cmd += ["--" + option.replace("_", "-"), str(getattr(args, option))]
    for name in args.scenario or []:
        cmd += ["--scenario", name]
    for flag in ("keep", "baseline", "core_dumps", "installed"):
        if getattr(args, flag):
            cmd += ["--" + flag.replace("_", "-")]
    os.execv(cmd[0], cmd)


def main():
    args = parse_args()
    if args.chroot:
        delegate_to_chroot(args)
    if not (args.baseline or args.installed) and (not args.module or not os.path.isfile(args.module)):
        sys.exit(f"no module at {args.module!r} (--module)")
    if not args.host_name and args.installed:
        sys.exit("--installed needs --host-name")
    if not args.host_name and args.baseline:
        args.host_name = "brivora.app"  # only shapes the seeded URLs
    if not args.host_name:
        args.host_name = host_name_from_cache(args.module)
        if not args.host_name:
            sys.exit("no --host-name given and no BRIVORA_SERVICE_HOST in a CMakeCache.txt above the module")
    started = time.monotonic()
    report = Report()
    try:
        ctx = Context(args)
    except HostError as exc:
        report.fail("find the OBS version", exc)
        print(f"{report.passed} passed, {report.failed} failed")
        return 1
    print(f"# OBS {'.'.join(map(str, ctx.version))} ({args.obs}), module {ctx.module or 'installed by a package'}, "
          f"host {args.host_name}, work folder {ctx.work}", flush=True)
    xvfb = None
    try:
        xvfb = Xvfb(os.path.join(ctx.work, "xvfb.log"))
        ctx.display = xvfb.display
        if not args.baseline and args.crash_rate is None and ctx.version >= (30, 0, 0):
            run_trial(ctx, report, "bare host", lambda c, r: r.check(
                f"{c.tag}bare host: clean quit, its own late callback removals counted", c.count_host_late_removals))
        if args.crash_rate is not None:
            measure_crash_rate(ctx, args.scenario or list(SCENARIOS), args.crash_rate)
        elif args.baseline:
            run_baseline_cycles(ctx, report, args.cycles)
        elif args.cycles is not None:
            run_cycles(ctx, report, args.cycles)
        else:
            for name, scenario in SCENARIOS.items():
                if EMULATED and not args.scenario and name in NATIVE_ONLY:
                    print(f"# {ctx.tag}{name}: not run under emulation", flush=True)
                elif not args.scenario or name in args.scenario:
                    run_trial(ctx, report, name, scenario)
    except HostError as exc:
        report.fail(f"{ctx.tag}set up the display", exc)
    finally:
        ObsRun.kill_all()
        if xvfb:
            xvfb.stop()
    if ctx.host_crashes:
        print(f"# the host crashed on its own {ctx.host_crashes} time(s), as it does without the module", flush=True)
    print(f"# took {time.monotonic() - started:.1f} s", flush=True)
    if report.failed or args.keep:
        print(f"# logs and homes kept in {ctx.work}", flush=True)
    else:
        shutil.rmtree(ctx.work, ignore_errors=True)
    if args.crash_rate is not None:
        return 0
    print(f"{report.passed} passed, {report.failed} failed", flush=True)
    return 1 if report.failed or report.passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
