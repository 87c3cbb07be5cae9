# SPDX-License-Identifier: GPL-2.0-or-later
"""Seeding a throw-away OBS home and running the OBS application in it.

One `ObsHome` is a fresh HOME/XDG_CONFIG_HOME holding a low-cost profile, a
scene collection, obs-websocket enabled on a free port and the module
installed as a user plug-in. `ObsRun` starts Xvfb and OBS on it, waits until
the websocket answers, and quits OBS with SIGINT the way a user would.
"""

import ctypes
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import tarfile
import time
import uuid

from emulation import EMULATED, OBS_ENV, limit
from host_crashes import crashed

PLUGIN_NAME = "brivora-signature-guard"
PROFILE = "E2E"
COLLECTION = "E2E"


class HostError(Exception):
    """OBS or Xvfb did not behave as a run needs (start, ready, quit)."""


def api_version(major, minor, patch):
    return (major << 24) | (minor << 16) | patch


def detect_obs_version(obs_cmd):
    """(major, minor, patch) reported by `obs --version`."""
    try:
        out = subprocess.run(obs_cmd + ["--version"], capture_output=True, text=True,
                             timeout=60, check=False).stdout
    except (OSError, subprocess.TimeoutExpired) as exc:
        raise HostError(f"cannot run {' '.join(obs_cmd)} --version: {exc}") from exc
    match = re.search(r"(\d+)\.(\d+)\.(\d+)", out)
    if not match:
        raise HostError(f"no version in the output of {' '.join(obs_cmd)} --version: {out!r}")
    return tuple(int(part) for part in match.groups())


def free_port():
    """A TCP port on the loopback that nothing listens on right now."""
    for _ in range(20):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        with socket.socket() as probe:
            probe.settimeout(0.2)
            if probe.connect_ex(("127.0.0.1", port)) != 0:
                return port
    raise HostError("found no free TCP port")


def ini_text(sections):
    """INI text from [(section, [(key, value), ...]), ...], in that order."""
    out = []
    for name, keys in sections:
        out.append(f"[{name}]")
        out.extend(f"{key}={value}" for key, value in keys)
        out.append("")
    return "\n".join(out)


def parse_ini_sections(text):
    """{section: [raw lines in it]} keeping every line, in order."""
    sections, current = {}, None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("[") and stripped.endswith("]"):
            current = stripped[1:-1]
            sections.setdefault(current, [])
        elif current is not None and stripped:
            sections[current].append(line)
    return sections


class Source:
    """A source of the seeded scene collection and, optionally, its item."""

    def __init__(self, name, kind, settings, versioned_kind=None):
        self.name = name
        self.kind = kind
        self.versioned_kind = versioned_kind or kind
        self.settings = settings
        self.uuid = str(uuid.uuid4())

    def json(self):
        return {"id": self.kind, "versioned_id": self.versioned_kind, "name": self.name,
                "uuid": self.uuid, "settings": self.settings, "enabled": True,
                "volume": 1.0, "mixers": 0, "flags": 0, "hotkeys": {}, "private_settings": {}}


def browser_source(name, url, width=800, height=600, **more):
    return Source(name, "browser_source", dict(url=url, width=width, height=height, **more))


def color_source(name):
    return Source(name, "color_source", {"color": 4282664004, "width": 1920, "height": 1080},
                  versioned_kind="color_source_v3")


def item_json(source, item_id, visible=True, locked=False, pos=(0.0, 0.0)):
    # "visible" and "scale" must be present, or the item loads hidden at scale 0.
    return {"name": source.name, "source_uuid": source.uuid, "id": item_id,
            "visible": visible, "locked": locked, "rot": 0.0,
            "pos": {"x": float(pos[0]), "y": float(pos[1])}, "scale": {"x": 1.0, "y": 1.0},
            "align": 5, "bounds_type": 0, "bounds_align": 0, "bounds": {"x": 0.0, "y": 0.0},
            "crop_left": 0, "crop_top": 0, "crop_right": 0, "crop_bottom": 0,
            "group_item_backup": False, "private_settings": {}}


def scene_collection(scene_name, items, name=COLLECTION, more_scenes=()):
    """A collection with one scene, the current one, and `more_scenes`
    [(name, items)]. `items` is [(Source, item options)], bottom first."""
    scenes, sources = [], []
    for scene, scene_items in ((scene_name, items),) + tuple(more_scenes):
        scenes.append({"id": "scene", "versioned_id": "scene", "name": scene, "uuid": str(uuid.uuid4()),
                       "enabled": True, "mixers": 0, "hotkeys": {}, "private_settings": {},
                       "settings": {"custom_size": False, "id_counter": len(scene_items),
                                    "items": [item_json(src, i + 1, **opts)
                                              for i, (src, opts) in enumerate(scene_items)]}})
        sources += [src.json() for src, _ in scene_items]
    return {"name": name, "current_scene": scene_name, "current_program_scene": scene_name,
            "scene_order": [{"name": sc["name"]} for sc in scenes], "sources": scenes + sources,
            "groups": [], "transitions": [], "current_transition": "Fade", "transition_duration": 300,
            "quick_transitions": [], "saved_projectors": [], "preview_locked": False,
            "scaling_enabled": False, "modules": {}}


class ObsHome:
    """A fresh home for one OBS host version, seeded and with the module installed."""

    def __init__(self, root, version, module, data_dir):
        self.root = root
        self.version = version
        self.home = os.path.join(root, "home")
        self.config = os.path.join(self.home, ".config")
        self.obs_dir = os.path.join(self.config, "obs-studio")
        self.runtime = os.path.join(root, "runtime")
        self.port = free_port()
        self.xauthority = None  # the X server's cookie file, for a display that asks for one
        os.makedirs(self.obs_dir)
        os.makedirs(self.runtime, mode=0o700)
        if module:  # without one, a baseline run of the bare host
            self.install_module(module, data_dir)

    @property
    def user_ini(self):
        return os.path.join(self.obs_dir, "user.ini")

    @property
    def collection_file(self):
        return self.collection_path(COLLECTION)

    def collection_path(self, name):
        return os.path.join(self.obs_dir, "basic", "scenes", name + ".json")

    @property
    def logs_dir(self):
        return os.path.join(self.obs_dir, "logs")

    def install_module(self, module, data_dir):
        if module.endswith(".tar.gz"):  # the per-user package: unpacked as a streamer would
            with tarfile.open(module) as archive:
                stray = [m.name for m in archive.getmembers() if m.name.split("/")[0] != PLUGIN_NAME]
                if stray:
                    raise HostError(f"{module} holds files outside {PLUGIN_NAME}/: {stray}")
            plugins = os.path.join(self.obs_dir, "plugins")
            os.makedirs(plugins)
            subprocess.run(["tar", "-xzf", module, "-C", plugins], check=True)  # as a streamer unpacks it
            return
        plugin = os.path.join(self.obs_dir, "plugins", PLUGIN_NAME)
        os.makedirs(os.path.join(plugin, "bin", "64bit"))
        shutil.copy2(module, os.path.join(plugin, "bin", "64bit", PLUGIN_NAME + ".so"))
        locale = os.path.join(plugin, "data", "locale")
        if data_dir and os.path.isfile(os.path.join(data_dir, "locale", "en-US.ini")):
            shutil.copytree(data_dir, os.path.join(plugin, "data"))
        else:
            os.makedirs(locale)
            with open(os.path.join(locale, "en-US.ini"), "w") as f:
                f.write('BrivoraSignatureGuard="Brivora Signature Guard"\n')

    def install_plugin(self, path):
        """Another module beside ours, as a user plug-in of its file's name."""
        name = os.path.splitext(os.path.basename(path))[0]
        binary = os.path.join(self.obs_dir, "plugins", name, "bin", "64bit")
        os.makedirs(binary)
        shutil.copy2(path, binary)

    def host_settings(self):
        """The host's own settings: first-run wizard skipped, our profile and
        collection selected, no preview. OBS 29 and 30 read them from
        global.ini, OBS 31 and later from user.ini."""
        return [
            ("General", [("FirstRun", "true"), ("LastVersion", str(api_version(*self.version))),
                         ("Pre19Defaults", "false"), ("Pre21Defaults", "false"),
                         ("Pre23Defaults", "false"), ("Pre24.1Defaults", "false"),
                         ("MaxLogs", "20")]),
            ("Basic", [("Profile", PROFILE), ("ProfileDir", PROFILE),
                       ("SceneCollection", COLLECTION), ("SceneCollectionFile", COLLECTION)]),
        ]

    def seed(self, collection, user_ini_sections=None, preview=False, fps=10, canvas=(1920, 1080),
             more_collections=(), basic_window=()):
        """Writes global.ini, the profile (a `canvas` base at `fps` frames per
        second, output a third of it), the collection (the current one) and
        `more_collections`, the websocket settings and, when given, user.ini.
        `basic_window` [(key, value)] goes to global.ini's [BasicWindow]
        (OBS 31 and later read it from user.ini: put it there too).
        The preview is off unless asked for: it costs a software-rendered
        frame for every frame shown."""
        websocket_keys = [("FirstLoad", "false"), ("ServerEnabled", "true"),
                          ("ServerPort", str(self.port)), ("AuthRequired", "false"),
                          ("AlertsEnabled", "false")]
        global_ini = self.host_settings() + [
            ("BasicWindow", [("PreviewEnabled", str(preview).lower())] + list(basic_window)),
            ("OBSWebSocket", websocket_keys),
        ]
        self.write(os.path.join(self.obs_dir, "global.ini"), ini_text(global_ini))
        # obs-websocket 5.5 and later keep their settings in their own file.
        self.write(os.path.join(self.obs_dir, "plugin_config", "obs-websocket", "config.json"),
                   json.dumps({"alerts_enabled": False, "auth_required": False,
                               "first_load": False, "server_enabled": True,
                               "server_password": "", "server_port": self.port}))
        profile = [
            ("General", [("Name", PROFILE)]),
            ("Video", [("BaseCX", str(canvas[0])), ("BaseCY", str(canvas[1])),
                       ("OutputCX", str(canvas[0] // 6 * 2)), ("OutputCY", str(canvas[1] // 6 * 2)),
                       ("FPSType", "0"), ("FPSCommon", str(fps))]),
            ("Output", [("Mode", "Simple")]),
            ("SimpleOutput", [("FilePath", self.root)]),
        ]
        self.write(os.path.join(self.obs_dir, "basic", "profiles", PROFILE, "basic.ini"), ini_text(profile))
        for data in (collection,) + tuple(more_collections):
            self.write(self.collection_path(data["name"]), json.dumps(data, indent=1))
        if user_ini_sections is not None:
            self.write(self.user_ini, ini_text(user_ini_sections))

    @staticmethod
    def write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    def read_user_ini(self):
        """Content of user.ini, or None when it does not exist."""
        try:
            with open(self.user_ini) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def read_collection(self, name=COLLECTION):
        with open(self.collection_path(name)) as f:
            return json.load(f)

    def log_files(self):
        try:
            return set(os.listdir(self.logs_dir))
        except FileNotFoundError:
            return set()

    def env(self, display):
        env = {
            "HOME": self.home, "XDG_CONFIG_HOME": self.config, "XDG_RUNTIME_DIR": self.runtime,
            "DISPLAY": display, "QT_QPA_PLATFORM": "xcb", "LIBGL_ALWAYS_SOFTWARE": "1",
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8",
        }
        if self.xauthority:
            env["XAUTHORITY"] = self.xauthority
        env.update(OBS_ENV)
        return env


class Xvfb:
    def __init__(self, log_path, timeout=20.0, screen="1280x800x24"):
        read_fd, write_fd = os.pipe()
        self._log = open(log_path, "w")
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0", screen],
                pass_fds=(write_fd,), stdout=self._log, stderr=subprocess.STDOUT,
                start_new_session=True, preexec_fn=die_with_parent)
        except OSError as exc:
            raise HostError(f"cannot start Xvfb: {exc}") from exc
        finally:
            os.close(write_fd)
        try:
            self.display = ":" + self._read_display(read_fd, timeout)
        except Exception:
            self.stop()
            raise
        finally:
            os.close(read_fd)

    def _read_display(self, fd, timeout):
        timeout = limit(timeout)
        deadline, data = time.monotonic() + timeout, b""
        while not data.endswith(b"\n"):
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self.proc.poll() is not None:
                raise HostError("Xvfb did not report a display")
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                chunk = os.read(fd, 64)
                if not chunk:
                    raise HostError("Xvfb closed its display pipe without a display number")
                data += chunk
        return data.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._log.close()


_PR_SET_PDEATHSIG = 1


def die_with_parent(sig=signal.SIGKILL):
    """Asks the kernel to send `sig` to this process when its parent dies, so
    that no OBS or Xvfb outlives a harness that was killed."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, int(sig), 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _child_setup(core_dumps):
    die_with_parent()
    # A parent started in the background may pass SIGINT on as ignored.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    if core_dumps:  # written as "core" into the run's folder (its cwd), see host_crashes.py
        resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


class ObsRun:
    """One start of OBS on a seeded home, from launch to quit."""

    live = set()  # runs not yet quit or killed
    # Set by a harness that tells crashes apart: called with (run folder, run
    # name, exit status) for each run that died of a signal; what it returns
    # is kept in `crashes`.
    examine_crash = None
    crashes = []

    @classmethod
    def kill_all(cls):
        for run in list(cls.live):
            run.kill()

    def __init__(self, obs_cmd, home, display, name, core_dumps=False, shown=False):
        self.home = home
        self.name = name
        self.stdout_path = os.path.join(home.root, f"{name}.stdout.txt")
        self._logs_before = home.log_files()
        self.exit_status = None
        self.quitting = False  # SIGINT sent
        self._stdout = open(self.stdout_path, "w")
        # Minimized to the tray unless the window is to be seen: nothing to paint.
        cmd = (obs_cmd + ["--multi"] + ([] if shown else ["--minimize-to-tray"])
               + ["--websocket_port", str(home.port)])
        try:
            self.proc = subprocess.Popen(cmd, env=home.env(display), cwd=home.root,
                                         stdin=subprocess.DEVNULL, stdout=self._stdout,
                                         stderr=subprocess.STDOUT, start_new_session=True,
                                         preexec_fn=lambda: _child_setup(core_dumps))
        except OSError as exc:
            self._stdout.close()
            raise HostError(f"cannot start {' '.join(cmd)}: {exc}") from exc
        ObsRun.live.add(self)

    def wait_ready(self, timeout=60.0):
        """Returns once obs-websocket accepts connections; OBS is ready then."""
        timeout = limit(timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise HostError(f"OBS exited with status {self.proc.returncode} before it was ready")
            with socket.socket() as sock:
                sock.settimeout(0.5)
                if sock.connect_ex(("127.0.0.1", self.home.port)) == 0:
                    return
            time.sleep(0.05)
        raise HostError(f"OBS was not ready within {timeout:.0f} s (websocket port {self.home.port})")

    def quit(self, timeout=60.0):
        """SIGINT, then waits for the exit; returns the exit status (negative: signal).
        An OBS that does not quit is aborted, so that its core tells where it
        hung, as a crash's does."""
        timeout = limit(timeout)
        if self.proc.poll() is None:
            self.quitting = True
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.send_signal(signal.SIGABRT)
                try:
                    self.proc.wait(limit(60.0))
                except subprocess.TimeoutExpired:
                    pass
                self.kill()
                if not EMULATED:  # there, a death while quitting is told apart below
                    raise HostError(f"OBS did not quit within {timeout:.0f} s of SIGINT")
        self._ended()
        return self.exit_status

    def state(self):
        status = self.proc.poll()
        if status is None:
            return "OBS still running"
        return f"OBS exited with status {status}" + (" (killed by a signal)" if status < 0 else "")

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        self._ended()

    def _ended(self):
        if self not in ObsRun.live:
            return
        ObsRun.live.discard(self)
        self.exit_status = self.proc.returncode
        self._stdout.close()
        if ObsRun.examine_crash and crashed(self.exit_status):
            ObsRun.crashes.append(ObsRun.examine_crash(self.home.root, self.name, self.exit_status,
                                                       self.quitting))

    def died_quitting_emulated(self):
        """Whether this run, under emulation, died while quitting: no backtrace
        is read there, and such a death is the emulated host's own (see
        host_crashes.EMULATED_QUIT)."""
        return EMULATED and self.quitting and self.exit_status is not None and self.exit_status < 0

    def log_path(self):
        new = sorted(self.home.log_files() - self._logs_before)
        if new:
            return os.path.join(self.home.logs_dir, new[-1])
        files = [os.path.join(self.home.logs_dir, f) for f in self.home.log_files()]
        return max(files, key=os.path.getmtime) if files else None

    def log_text(self):
        path = self.log_path()
        if path is None:
            return ""
        with open(path, errors="replace") as f:
            return f.read()
