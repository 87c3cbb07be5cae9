# SPDX-License-Identifier: GPL-2.0-or-later
"""Driving OBS with the module: what the module is expected to do, and one
OBS start on a seeded home with a websocket connection to it. Used by the
demo and by the end-to-end tests."""

import os
import re
import time

from emulation import limit
from obs_session import HostError, ObsRun, parse_ini_sections
from obs_ws import EVENT_SCENE_ITEM_TRANSFORM_CHANGED, EVENTS_ALL_LOW_VOLUME, ObsWebSocket, ObsWsError, RequestFailed

PREFIX = "[brivora-signature-guard] "
LOAD_LINE = PREFIX + "Brivora Rurozezod Ivuri loaded (version 1.2.0)"
SIGNATURE = "Brivora Signature"
PINNED_POS = (1348.0, 992.0)  # on the homes' 1920x1080 canvas
SCENE = "Scene"
NOT_READY = 207  # obs-websocket's request status while OBS is still starting
WAIT = 15.0  # deadline for anything the module does on its own (passes run every ~2 s)


class Failed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failed(message)


def poll(what, probe, timeout=WAIT, interval=0.1):
    """Calls probe() until it returns (True, detail); returns that detail.
    Fails with the last detail seen when the deadline passes."""
    timeout = limit(timeout)
    deadline = time.monotonic() + timeout
    while True:
        ok, detail = probe()
        if ok:
            return detail
        if time.monotonic() >= deadline:
            raise Failed(f"{what} not reached within {timeout:.0f} s; last seen: {detail}")
        time.sleep(interval)


# ----------------------------------------------------------------- expectations

class Service:
    def __init__(self, host):
        self.base = f"https://{host}/brivora"

    def signature_url(self, slug, token=None):
        url = f"{self.base}/{slug}/widgets/signature/"
        return url + f"?widgetToken={token}" if token else url

    def dock_line(self, slug, token, kept=()):
        """The module's docks line, after the user's own docks `kept`."""
        docks = [("Brivora Dock Live", "live-dock", "brivora_live_dock"),
                 ("Brivora Chat", "chat", "brivora_chat_dock")]
        parts = [f'{{"title":"{title}","url":"{self.base}/{slug}/{path}/?dock=1&pluginVersion=1.2.0'
                 f'&widgetToken={token}","uuid":"{uid}"}}' for title, path, uid in docks]
        return "ExtraBrowserDocks=[" + ",".join([*kept, *parts]) + "]"


def signature_settings_problems(settings, url):
    want = {"url": url, "width": 560, "height": 80, "shutdown": False, "restart_when_active": True}
    return [f"{key}={settings.get(key)!r} (want {value!r})" for key, value in want.items()
            if settings.get(key) != value or type(settings.get(key)) is not type(value)]


def pinned_position(canvas):
    """Where the signature item belongs on a canvas: its bottom-right corner."""
    return (float(max(0, canvas[0] - 572)), float(max(0, canvas[1] - 88)))


def placement_problems(items, pinned_pos=PINNED_POS):
    """What is wrong with the signature item among a scene's items, or []."""
    sig = [item for item in items if item["sourceName"] == SIGNATURE]
    if len(sig) != 1:
        return [f"{len(sig)} '{SIGNATURE}' items in the scene"]
    item, problems = sig[0], []
    if item.get("inputKind") != "browser_source":
        problems.append(f"kind {item.get('inputKind')}")
    if item["sceneItemIndex"] != len(items) - 1:
        problems.append(f"index {item['sceneItemIndex']} of {len(items)}, not on top")
    if item["sceneItemLocked"] is not True:
        problems.append("unlocked")
    if item["sceneItemEnabled"] is not True:
        problems.append("hidden")
    pos = (item["sceneItemTransform"]["positionX"], item["sceneItemTransform"]["positionY"])
    if pos != pinned_pos:
        problems.append(f"at {pos}, not {pinned_pos}")
    return problems


def log_lines(text, line):
    """Occurrences of the module's log line (the host adds a time stamp before it)."""
    return [ln for ln in text.splitlines() if ln.endswith(line) or ln.endswith(line + "\r")]


def basic_window_docks(user_ini):
    return [ln for ln in parse_ini_sections(user_ini).get("BasicWindow", [])
            if ln.startswith("ExtraBrowserDocks=")]


# --------------------------------------------------------------- one OBS start

class Session:
    """OBS started on a seeded home, with a websocket connection to it."""

    def __init__(self, ctx, home, name, shown=False):
        self.ctx = ctx
        self.home = home
        self.name = name
        self.run = ObsRun(ctx.obs_cmd, home, ctx.display, name, ctx.core_dumps, shown)
        self.ws = None
        self.pinned_pos = PINNED_POS  # follows the canvas a scenario sets
        try:
            self.run.wait_ready()
            self.ws = ObsWebSocket(home.port, events=EVENTS_ALL_LOW_VOLUME | EVENT_SCENE_ITEM_TRANSFORM_CHANGED)
            self.wait_loaded()
        except ObsWsError as exc:
            self.run.kill()
            raise HostError(str(exc)) from exc
        except BaseException:
            self.run.kill()
            raise

    def wait_loaded(self, timeout=60.0):
        """obs-websocket 5.5 (OBS 32) listens before the host has loaded its
        scene collection and answers 207 (not ready) until then."""
        def probe():
            try:
                self.ws.request("GetSceneList")
            except RequestFailed as exc:
                if exc.code == NOT_READY:
                    return False, "obs-websocket: OBS is not ready"
                raise
            return True, None
        try:
            poll("OBS loaded", probe, timeout)
        except Failed as exc:
            raise HostError(str(exc)) from exc

    def items(self, scene=SCENE):
        return self.ws.request("GetSceneItemList", sceneName=scene)["sceneItems"]

    def signature_item(self, scene=SCENE):
        sig = [item for item in self.items(scene) if item["sourceName"] == SIGNATURE]
        return sig[0] if len(sig) == 1 else None

    def wait_pinned(self, scene=SCENE, timeout=WAIT):
        def probe():
            items = self.items(scene)
            problems = placement_problems(items, self.pinned_pos)
            return not problems, ("; ".join(problems) if problems else items)
        items = poll(f"'{SIGNATURE}' pinned in '{scene}'", probe, timeout)
        return next(item for item in items if item["sourceName"] == SIGNATURE)

    def tick_pass(self, scene=SCENE):
        """Hides the signature item of `scene`, the live one, and waits until
        a pass shows it again: one the tick hands to the UI thread, which runs
        it from its event loop (that loop starts once OBS has set up its main
        window)."""
        item = self.signature_item(scene)
        self.ws.request("SetSceneItemEnabled", sceneName=scene, sceneItemId=item["sceneItemId"],
                        sceneItemEnabled=False)
        self.wait_pinned(scene)

    def request_and_wait(self, request, event, predicate, timeout=10.0, **fields):
        """Sends a request and waits for the event it raises."""
        self.ws.clear_events()
        self.ws.request(request, **fields)
        self.ws.wait_event(event, predicate, timeout=timeout)

    def remove_scene(self, name):
        """Removes a scene that is not live and waits until only SCENE is
        left: OBS 32 can quit uncleanly with several scenes. The scene goes
        once its last reference is released."""
        self.ws.request("RemoveScene", sceneName=name)
        poll("only the first scene left", lambda: (
            lambda names: (names == [SCENE], names))(
            [sc["sceneName"] for sc in self.ws.request("GetSceneList")["scenes"]]))

    def wait_settings(self, url, timeout=WAIT):
        def probe():
            try:
                answer = self.ws.request("GetInputSettings", inputName=SIGNATURE)
            except RequestFailed as exc:  # no such source (yet)
                return False, str(exc)
            problems = signature_settings_problems(answer["inputSettings"], url)
            if answer.get("inputKind") != "browser_source":
                problems.append(f"kind {answer.get('inputKind')}")
            return not problems, "; ".join(problems)
        poll(f"'{SIGNATURE}' settings", probe, timeout)

    def log(self):
        return self.run.log_text()

    def settle(self, frames=20, timeout=30.0):
        """Waits until the host has rendered `frames` frames (2 s at the
        profile's 10 fps). A SIGINT while the main window is still being
        exposed after start crashes OBS 29 in Qt's painting now and then,
        with or without the module; after that it quits cleanly."""
        def probe():
            rendered = self.ws.request("GetStats")["renderTotalFrames"]
            return rendered >= frames, f"{rendered} frames rendered"
        poll("host settled after start", probe, timeout)

    def quit(self):
        """Quits with SIGINT; returns (exit status, final log text)."""
        if self.ws:
            try:
                self.settle()
            except Failed as exc:
                raise HostError(str(exc)) from exc
            self.ws.close()
        status = self.run.quit()
        return status, self.run.log_text()

    def abort(self):
        if self.ws:
            self.ws.close()
        self.run.kill()


def check_host_quit(status, log):
    expect(status == 0, f"exit status {status}" + (" (killed by a signal)" if status < 0 else ""))
    leaks = re.findall(r"Number of memory leaks: (\d+)", log)
    expect(leaks, "the log has no 'Number of memory leaks' line")
    expect(leaks[-1] == "0", f"Number of memory leaks: {leaks[-1]}")


def host_name_from_cache(module):
    directory = os.path.dirname(os.path.abspath(module))
    while True:
        cache = os.path.join(directory, "CMakeCache.txt")
        if os.path.isfile(cache):
            with open(cache) as f:
                for line in f:
                    match = re.match(r"BRIVORA_SERVICE_HOST:[A-Z]+=(.*)$", line.rstrip("\n"))
                    if match:
                        return match.group(1)
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent
