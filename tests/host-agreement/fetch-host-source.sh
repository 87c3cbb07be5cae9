#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts files of the host's own sources (Debian's obs-studio source package)
# into DEST, under the paths they have in its tree: the JSON reader
# (deps/json11/json11.cpp) or libobs's INI reader (libobs/util/config-file.c).
# Uses a private apt state with a deb-src line for this machine's mirror and
# SUITE (this machine's release by default), so the machine's apt
# configuration stays as it is. Does nothing when DEST holds them already.
#
# Usage: tests/host-agreement/fetch-host-source.sh [--suite SUITE] DEST PATH...
set -euo pipefail
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n $suite ]] || suite=sid
if [[ ${1:-} == --suite ]]; then
  suite=${2:?usage: fetch-host-source.sh [--suite SUITE] DEST PATH...}
  shift 2
fi
dest=${1:?usage: fetch-host-source.sh [--suite SUITE] DEST PATH...}
shift
(($# > 0)) || { echo "usage: fetch-host-source.sh [--suite SUITE] DEST PATH..." >&2; exit 2; }
missing=0
for path in "$@"; do [[ -f $dest/$path ]] || missing=1; done
((missing)) || exit 0

# The mirror is the machine's (scripts/apt-mirror.sh).
mirror=$("$(dirname "${BASH_SOURCE[0]}")/../../scripts/apt-mirror.sh")

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
mkdir -p "$work/tree"
tar -xf "$work/$name" -C "$work/tree" --strip-components=1 --wildcards "${@/#/*/}"
for path in "$@"; do
  mkdir -p "$dest/$(dirname "$path")"
  cp "$work/tree/$path" "$dest/$path"
done
echo "$* of $name in $dest" >&2
