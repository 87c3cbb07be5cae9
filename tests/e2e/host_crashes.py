# SPDX-License-Identifier: GPL-2.0-or-later
"""Telling a crash of the host's own from one of the module's.

A crashed OBS leaves a core file in its run folder; gdb reads every thread's
backtrace from it. The crash is the module's when the crashing thread, or any
thread but the module's hand-off thread waiting for its next look, runs code
of the module. Without
such a frame it is the host's own only when it matches a crash that the host
shows without the module too (HOST_CRASHES); anything else counts against us.
"""

import glob
import os
import re
import shutil
import signal
import subprocess

# Crashes of the bare host, each seen in runs without the module: the host
# versions that show it, a pattern of its crashing thread's backtrace, and what
# it is.
HOST_CRASHES = [
    ((32, 0, 0), None, r"\bsignal_handler_disconnect\b",
     "OBS 32 disconnects a deleted source's signal while it clears a scene collection"),
    ((32, 0, 0), None, r"^#0 .* in obs_get_video \(\)",
     "OBS 32 reads the video of a canvas that obs-websocket's thread is resetting"),
    ((0, 0, 0), None, r"\b(QRasterPaintEngine|QPainter::|QWidgetRepaintManager|QWidgetPrivate::drawWidget)",
     "Qt paints the main window while OBS quits or starts"),
]

# A frame of the module: its file, or a function compiled from its sources.
MODULE_FRAME = re.compile(r"brivora-signature-guard|/src/(module|scene|context|user-ini)/")
HANDOFF_RUN = re.compile(r"\bpass_handoff::run\b")
WAITING = re.compile(r"pthread_cond_(clock|timed)?wait|condition_variable::wait|__condvar::wait")
FRAME = re.compile(r"^#\d+\s")


class Crash:
    def __init__(self, run_name, status, backtrace, backtrace_path, version):
        self.run_name = run_name
        self.signal = -status if status < 0 else status - 128
        self.backtrace_path = backtrace_path
        crashing, threads = split_backtrace(backtrace)
        self.readable = bool(crashing)
        self.ours = module_frames(crashing) or any(
            module_frames(frames) and not idle_handoff(frames) for frames in threads)
        self.host_crash = None if self.ours or not self.readable else known_host_crash(crashing, version)

    def verdict(self):
        try:
            name = signal.Signals(self.signal).name
        except ValueError:
            name = f"signal {self.signal}"
        where = f"backtrace in {self.backtrace_path}" if self.readable else "no backtrace could be read"
        if self.ours:
            return f"{self.run_name}: OBS died of {name} with the module's code on a thread ({where})"
        if self.host_crash:
            return f"{self.run_name}: OBS died of {name}, the host's own crash: {self.host_crash} ({where})"
        return f"{self.run_name}: OBS died of {name}, not a crash the bare host shows ({where})"


def split_backtrace(text):
    """(frames of the crashing thread, [frames of each thread]) from gdb's
    `bt` followed by `thread apply all bt`."""
    crashing, threads, current = [], [], None
    for line in text.splitlines():
        if line.startswith("Thread "):
            current = []
            threads.append(current)
        elif FRAME.match(line):
            (crashing if current is None else current).append(line)
    return crashing, threads


def module_frames(frames):
    return any(MODULE_FRAME.search(frame) for frame in frames)


def idle_handoff(frames):
    """The module's hand-off thread asleep between two looks at the tick's flag."""
    ours = [frame for frame in frames if MODULE_FRAME.search(frame)]
    return any(WAITING.search(frame) for frame in frames) and all(HANDOFF_RUN.search(frame) for frame in ours)


def known_host_crash(frames, version):
    text = "\n".join(frames)
    for low, high, pattern, what in HOST_CRASHES:
        if version >= low and (high is None or version < high) and re.search(pattern, text, re.MULTILINE):
            return what
    return None


def crashed(status):
    """Whether an exit status is a death by a signal that dumps core."""
    sig = -status if status is not None and status < 0 else (status - 128 if status and status > 128 else 0)
    return sig in (signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGTRAP)


def examine(run_dir, run_name, status, obs_binary, version, keep_core=False):
    """The Crash of a run that died of `status`, its backtrace read from the
    core it left in `run_dir` and saved beside it; the core is removed unless
    kept."""
    cores = sorted(glob.glob(os.path.join(run_dir, "core*")), key=os.path.getmtime)
    backtrace_path = os.path.join(run_dir, f"{run_name}.backtrace.txt")
    text = ""
    if cores and shutil.which("gdb"):
        try:
            text = subprocess.run(["gdb", "-batch", "-nx", "-ex", "set pagination off", "-ex", "bt",
                                   "-ex", "thread apply all bt", obs_binary, cores[-1]],
                                  capture_output=True, text=True, errors="replace", timeout=300).stdout
        except (OSError, subprocess.TimeoutExpired) as exc:
            text = f"gdb failed: {exc}"
    elif not cores:
        text = f"no core file in {run_dir}"
    else:
        text = "gdb is not installed"
    with open(backtrace_path, "w") as f:
        f.write(text)
    if not keep_core:
        for core in cores:
            os.remove(core)
    return Crash(run_name, status, text, backtrace_path, version)
