#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts the host's own JSON reader (json11, deps/json11 of Debian's obs-studio
# source package) into DEST: json11.cpp and json11.hpp. Uses a private apt
# state with a deb-src line for this machine's mirror and release, so the
# machine's apt configuration stays as it is. Does nothing when DEST holds
# them already.
#
# Usage: tests/host-agreement/fetch-json11.sh DEST
set -euo pipefail
dest=${1:?usage: fetch-json11.sh DEST}
[[ -f $dest/json11.cpp && -f $dest/json11.hpp ]] && exit 0

# The mirror is the machine's (scripts/apt-mirror.sh); the suite is this release's.
mirror=$("$(dirname "${BASH_SOURCE[0]}")/../../scripts/apt-mirror.sh")
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $suite ]] || suite=sid

command -v xz >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q xz-utils >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
echo "deb-src $mirror $suite main" >"$work/sources.list"
apt_opts=(-q -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o Dir::State::status=/dev/null
          -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" update >"$work/update.log" 2>&1 || { cat "$work/update.log" >&2; exit 1; }

# Only the upstream tarball is needed: its URI, name, size and hash.
read -r uri name _ hash < <(apt-get "${apt_opts[@]}" source --print-uris obs-studio |
  awk '/\.orig\.tar\./ { gsub("\047", "", $1); print $1, $2, $3, $4; exit }')
[[ -n ${uri:-} ]] || { echo "no obs-studio source package in $mirror $suite" >&2; exit 1; }
/usr/lib/apt/apt-helper download-file "$uri" "$work/$name" "$hash" >&2
mkdir -p "$dest"
tar -xf "$work/$name" -C "$work" --wildcards '*/deps/json11/json11.cpp' '*/deps/json11/json11.hpp' '*/deps/json11/LICENSE.txt'
cp "$work"/*/deps/json11/json11.cpp "$work"/*/deps/json11/json11.hpp "$work"/*/deps/json11/LICENSE.txt "$dest/"
echo "json11 of $name in $dest" >&2
