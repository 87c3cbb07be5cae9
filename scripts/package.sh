#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the packages a streamer installs, all into one folder:
#   brivora-signature-guard_<version>_amd64.deb
#   brivora-signature-guard-<version>-linux-x86_64.tar.gz
# Each is a Release build without tests, packed by cpack: the .deb with the
# system layout, the tarball with the layout of a user's plug-in folder.
# The packages the build needs are installed first (scripts/install-deps.sh).
#
#   scripts/package.sh [--out DIR] [--build DIR] [-DVAR=VALUE]...
#       --out    where the packages go (default: dist/ in the repository)
#       --build  the build folders' parent (default: build/package), one
#                folder per architecture below it
#       -D...    passed on to cmake (e.g. -DBRIVORA_SERVICE_HOST=...)
set -euo pipefail
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGE=brivora-signature-guard

out=$REPO_DIR/dist
build=$REPO_DIR/build/package
cmake_args=()
while [[ $# -gt 0 ]]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    -D*) cmake_args+=("$1"); shift ;;
    -h|--help) sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--out DIR] [--build DIR] [-DVAR=VALUE]..." >&2; exit 2 ;;
  esac
done

log() { printf '[package] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

"$REPO_DIR/scripts/install-deps.sh" --package

# One architecture: configure, build and pack in DIR, then copy the .deb and
# the tarball into the output folder.
pack() { # DIR [CMAKE ARGS...]
  local dir=$1 t=$SECONDS
  shift
  mkdir -p "$dir"
  cmake -S "$REPO_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    ${cmake_args[@]+"${cmake_args[@]}"} "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; die "configuring $dir failed"; }
  cmake --build "$dir" -j"$(nproc)" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; die "building $dir failed"; }
  rm -f "$dir"/"$PACKAGE"[_-]*.deb "$dir"/"$PACKAGE"[_-]*.tar.gz
  (cd "$dir" && cpack -G DEB && cpack -G TGZ) >"$dir.cpack.log" 2>&1 ||
    { cat "$dir.cpack.log" >&2; die "cpack failed in $dir"; }
  local files=("$dir"/"$PACKAGE"_*.deb "$dir"/"$PACKAGE"-*.tar.gz)
  [[ ${#files[@]} -eq 2 && -f ${files[0]} && -f ${files[1]} ]] || die "cpack made ${files[*]} in $dir"
  cp "${files[@]}" "$out/"
  log "$(basename "${files[0]}") and $(basename "${files[1]}") in $((SECONDS - t)) s"
}

mkdir -p "$out" "$build"
out=$(cd "$out" && pwd)
rm -f "$out"/"$PACKAGE"_*.deb "$out"/"$PACKAGE"-*.tar.gz
pack "$build/amd64"
log "packages in $out:"
ls -1 "$out" >&2
