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
import struct
import subprocess

from emulation import EMULATED, limit

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
    # OBS 29's SIGINT handler calls close() on the main window from inside
    # the signal handler: when the signal interrupts Qt writing to the X
    # server, the close waits for the X connection's lock forever.
    ((0, 0, 0), None, r"\bQWidgetPrivate::close_helper\b.*\n#\d+\s+<signal handler called>",
     "OBS closes its main window from inside its SIGINT handler, while Qt talks to the X server"),
]

# A frame of the module: its file, or a function compiled from its sources.
MODULE_FRAME = re.compile(r"brivora-signature-guard|/src/(module|scene|context|user-ini)/")
HANDOFF_RUN = re.compile(r"\bpass_handoff::run\b")
WAITING = re.compile(r"pthread_cond_(clock|timed)?wait|condition_variable::wait|__condvar::wait")
FRAME = re.compile(r"^#\d+\s")


# Debian's arm64 OBS 29 under qemu-user crashes or hangs in about one quit in
# four without the module, and gdb needs many minutes for one core there: a
# death while quitting under emulation is taken as the host's own, reported
# and not run again. The same quits natively are read and told apart.
EMULATED_QUIT = "the emulated host died while quitting, as it does without the module"


class Crash:
    def __init__(self, run_name, status, backtrace, backtrace_path, version, emulated_quit=False):
        self.run_name = run_name
        self.signal = death_signal(status)
        self.backtrace_path = backtrace_path
        crashing, threads = split_backtrace(backtrace)
        self.readable = bool(crashing)
        self.ours = module_frames(crashing) or any(
            module_frames(frames) and not idle_handoff(frames) for frames in threads)
        self.host_crash = None if self.ours or not self.readable else known_host_crash(crashing, version)
        # Run again when the host's own; an emulated quit is not.
        self.run_again = not emulated_quit
        if emulated_quit:
            self.host_crash = EMULATED_QUIT

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


def death_signal(status):
    """The signal an exit status tells of (a shell's 128 + N too); 0 for none."""
    if status is None:
        return 0
    return -status if status < 0 else (status - 128 if status > 128 else 0)


def crashed(status):
    """Whether an exit status is a death by a signal that dumps core."""
    return death_signal(status) in (signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGTRAP)


def restore_program_header(core, program):
    """qemu-user leaves the program's own ELF header out of its core, and gdb
    cannot place a position-independent program (nor find its libraries)
    without it: the header's page is appended to the core and its segment
    pointed at it. Returns whether the core was changed."""
    with open(core, "r+b") as f:
        ehdr = f.read(64)
        if ehdr[:4] != b"\x7fELF" or ehdr[4] != 2:
            return False
        phoff, = struct.unpack_from("<Q", ehdr, 32)
        phentsize, phnum = struct.unpack_from("<HH", ehdr, 54)
        f.seek(phoff)
        phdrs = [list(struct.unpack("<IIQQQQQQ", f.read(phentsize))) for _ in range(phnum)]
        at_phdr = None
        for note in (p for p in phdrs if p[0] == 4):  # PT_NOTE: NT_AUXV's AT_PHDR
            f.seek(note[2])
            data, i = f.read(note[5]), 0
            while i + 12 <= len(data):
                namesz, descsz, ntype = struct.unpack_from("<III", data, i)
                desc = i + 12 + ((namesz + 3) & ~3)
                if ntype == 6:
                    pairs = struct.iter_unpack("<QQ", data[desc:desc + descsz - descsz % 16])
                    at_phdr = next((value for key, value in pairs if key == 3), at_phdr)
                i = desc + ((descsz + 3) & ~3)
        if at_phdr is None:
            return False
        for n, p in enumerate(phdrs):
            if p[0] == 1 and p[3] == at_phdr & ~0xfff and p[5] == 0:  # PT_LOAD, nothing dumped
                with open(program, "rb") as exe:
                    page = exe.read(0x1000)
                p[2], p[5] = f.seek(0, os.SEEK_END), len(page)
                f.write(page)
                f.seek(phoff + n * phentsize)
                f.write(struct.pack("<IIQQQQQQ", *p))
                return True
    return False


def examine(run_dir, run_name, status, obs_binary, version, keep_core=False, quitting=False):
    """The Crash of a run that died of `status`, its backtrace read from the
    core it left in `run_dir` and saved beside it; the core is removed unless
    kept. Under emulation a death while quitting is not read (EMULATED_QUIT)."""
    # qemu-user writes an emulated program's core as qemu_<name>_<time>_<pid>.core,
    # then dies of the same signal and the kernel writes qemu's own: the
    # program's is the one to read.
    emulated = sorted(glob.glob(os.path.join(run_dir, "qemu_*.core")), key=os.path.getmtime)
    cores = sorted(glob.glob(os.path.join(run_dir, "core*")), key=os.path.getmtime) + emulated
    backtrace_path = os.path.join(run_dir, f"{run_name}.backtrace.txt")
    text = ""
    emulated_quit = EMULATED and quitting
    if emulated_quit:
        text = "not read: " + EMULATED_QUIT
    elif cores and shutil.which("gdb"):
        if emulated:
            restore_program_header(cores[-1], obs_binary)
        try:
            text = subprocess.run(["gdb", "-batch", "-nx", "-ex", "set pagination off", "-ex", "bt",
                                   "-ex", "thread apply all bt", obs_binary, cores[-1]],
                                  capture_output=True, text=True, errors="replace", timeout=limit(300)).stdout
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
    return Crash(run_name, status, text, backtrace_path, version, emulated_quit)
