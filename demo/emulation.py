# SPDX-License-Identifier: GPL-2.0-or-later
"""An OBS of another architecture, run under qemu-user in a root made by
scripts/obs32-chroot.sh --arch, which sets BRIVORA_E2E_EMULATED=1 there.

Everything the host does takes several times longer under emulation, and
longer still on a busy machine: every limit the harness waits for the host
is scaled by SLOWDOWN. Mesa's threaded software renderer stalls OBS under
qemu (a minute to start); OBS gets LP_NUM_THREADS=0 there.
"""

import os

EMULATED = os.environ.get("BRIVORA_E2E_EMULATED") == "1"
SLOWDOWN = 6.0 if EMULATED else 1.0
OBS_ENV = {"LP_NUM_THREADS": "0"} if EMULATED else {}


def limit(seconds):
    """A time limit for the host, in seconds, scaled for emulation."""
    return seconds * SLOWDOWN
