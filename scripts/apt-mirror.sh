#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Prints the Debian mirror of this machine's apt sources, for the scripts that
# fetch from it (the chroots, the host's source): the first "URIs:" of
# sources.list.d/debian.sources, else the first URL of a "deb" line of
# sources.list. Without one it says so and fails: the project names no mirror
# of its own.
#
# Usage: scripts/apt-mirror.sh [APT_DIR]   (default /etc/apt)
set -euo pipefail
dir=${1:-/etc/apt}
uri=""
if [[ -r $dir/sources.list.d/debian.sources ]]; then
  uri=$(awk '/^URIs:/ { print $2; exit }' "$dir/sources.list.d/debian.sources")
fi
if [[ -z $uri && -r $dir/sources.list ]]; then
  uri=$(awk '/^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$dir/sources.list")
fi
if [[ -z $uri ]]; then
  echo "no Debian mirror in this machine's apt sources ($dir/sources.list.d/debian.sources or $dir/sources.list):" \
    "add the mirror this machine installs its packages from, then run again" >&2
  exit 1
fi
echo "$uri"
