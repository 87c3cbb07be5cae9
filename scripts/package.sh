#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the packages a streamer installs, all into one folder:
#   brivora-signature-guard_<version>_amd64.deb
#   brivora-signature-guard-<version>-linux-x86_64.tar.gz
#   brivora-signature-guard_<version>_arm64.deb
#   brivora-signature-guard-<version>-linux-aarch64.tar.gz
# The .deb is built from the Debian source package (debian/) by
# dpkg-buildpackage, without its tests, in a copy of the repository's files
# (git's tracked and not ignored ones); the tarball is a Release build without
# tests packed by cpack, with the layout of a user's plug-in folder.
# The packages the build needs are installed first (scripts/install-deps.sh).
# The arm64 module is built with Debian's cross toolchain
# (dpkg-buildpackage -a arm64; cmake/toolchain-aarch64-linux-gnu.cmake for the
# tarball) against Debian's arm64 libobs-dev, downloaded and unpacked below the
# build folder: the machine's own packages stay as they are. The arm64 .deb's
# Depends line is read from Debian's arm64 C and C++ runtime packages,
# unpacked there too.
#
#   scripts/package.sh [--out DIR] [--build DIR] [-DVAR=VALUE]...
#   scripts/package.sh --tree DIR
#       --out    where the packages go (default: dist/ in the repository)
#       --build  the build folders' parent (default: build/package), one
#                folder per architecture below it
#       -D...    passed on to cmake (e.g. -DBRIVORA_SERVICE_HOST=...)
#       --tree   only copies the repository's files into DIR (the source
#                package's tree) and stops
set -euo pipefail
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGE=brivora-signature-guard

out=$REPO_DIR/dist
build=$REPO_DIR/build/package
cmake_args=()
tree=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --tree) tree=$2; shift 2 ;;
    -D*) cmake_args+=("$1"); shift ;;
    -h|--help) sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 [--out DIR] [--build DIR] [-DVAR=VALUE]..." >&2; exit 2 ;;
  esac
done

log() { printf '[package] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

# The source package's tree: the files git tracks (as they are in the working
# tree) and those it does not ignore, none of the build folders.
copy_tree() { # DIR
  git -C "$REPO_DIR" rev-parse --git-dir >/dev/null 2>&1 || die "$REPO_DIR is not a git checkout: the source tree is what git lists"
  rm -rf "$1"
  mkdir -p "$1"
  (cd "$REPO_DIR" && git ls-files -z --cached --others --exclude-standard --deduplicate |
    while IFS= read -r -d '' f; do [[ ! -e $f ]] || printf '%s\0' "$f"; done |
    tar -cf - --null --no-recursion -T -) | tar -xf - -C "$1"
}
if [[ -n $tree ]]; then
  copy_tree "$tree"
  exit 0
fi

"$REPO_DIR/scripts/install-deps.sh" --package

# Debian's arm64 packages PACKAGE... downloaded into DIR with an apt of its
# own (its lists and cache in DIR/apt, the machine's sources).
download_arm64() { # DIR PACKAGE...
  local dir=$1 apt
  shift
  apt=(apt-get -q -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root
       -o Dir::State::Lists="$dir/apt/lists" -o Dir::State::status="$dir/apt/status"
       -o Dir::Cache="$dir/apt/cache" -o Debug::NoLocking=1)
  mkdir -p "$dir/apt/lists/partial" "$dir/apt/cache/archives/partial" "$dir/debs"
  touch "$dir/apt/status"
  "${apt[@]}" update >"$dir/apt.log" 2>&1 || { cat "$dir/apt.log" >&2; die "apt-get update for arm64 failed"; }
  rm -f "$dir"/debs/*.deb
  (cd "$dir/debs" && "${apt[@]}" download "$@") >>"$dir/apt.log" 2>&1 ||
    { cat "$dir/apt.log" >&2; die "downloading the arm64 packages $* failed"; }
}

# The arm64 host for the cross build: libobs-dev unpacked into DIR/sysroot,
# and the runtime packages whole (DEBIAN/ with their symbols files) below
# DIR/shlibs. Sets ARM64_CMAKE_ARGS.
arm64_host() { # DIR
  local dir=$1 t=$SECONDS p lib shlibs_dirs=()
  local runtime=(libc6 libstdc++6 libgcc-s1)
  download_arm64 "$dir" libobs-dev libobs0 libsimde-dev "${runtime[@]}"
  rm -rf "$dir/sysroot" "$dir/shlibs"
  mkdir -p "$dir/sysroot" "$dir/shlibs"
  for p in libobs-dev libobs0 libsimde-dev; do
    dpkg-deb -x "$dir/debs/${p}"_*.deb "$dir/sysroot"
  done
  for p in "${runtime[@]}"; do
    dpkg-deb -R "$dir/debs/${p}"_*.deb "$dir/shlibs/$p"
    for lib in lib usr/lib; do
      [[ ! -d $dir/shlibs/$p/$lib/aarch64-linux-gnu ]] || shlibs_dirs+=("$dir/shlibs/$p/$lib/aarch64-linux-gnu")
    done
  done
  ARM64_CMAKE_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$REPO_DIR/cmake/toolchain-aarch64-linux-gnu.cmake"
                    -DCMAKE_FIND_ROOT_PATH="$dir/sysroot")
  ARM64_SHLIBS_DIRS=$(IFS=':'; echo "${shlibs_dirs[*]}")
  log "arm64 host packages in $((SECONDS - t)) s"
}

# The .deb of one architecture from the source package, built in DIR/src and
# copied into the output folder. A cross build (ARCH other than the machine's)
# takes the arm64 host of arm64_host, which dpkg does not know: no build
# dependency check (-d), libobs-dev and the runtime libraries named to
# debian/rules.
deb() { # ARCH DIR
  local arch=$1 dir=$2 t=$SECONDS opts=(-us -uc --build=binary -Pnocheck -j"$(nproc)") file
  copy_tree "$dir/src"
  rm -f "$dir"/*.deb
  local -x DEB_BUILD_OPTIONS=nocheck BRIVORA_CMAKE_ARGS=${cmake_args[*]+"${cmake_args[*]}"} BRIVORA_SHLIBS_DIRS=""
  if [[ $arch != "$(dpkg --print-architecture)" ]]; then
    opts=(-us -uc --build=binary -a "$arch" -Pcross,nocheck -d -j"$(nproc)")
    BRIVORA_CMAKE_ARGS+=" ${ARM64_CMAKE_ARGS[*]}"
    BRIVORA_SHLIBS_DIRS=$ARM64_SHLIBS_DIRS
  fi
  (cd "$dir/src" && dpkg-buildpackage "${opts[@]}") >"$dir.deb.log" 2>&1 ||
    { tail -n 40 "$dir.deb.log" >&2; die "dpkg-buildpackage failed in $dir/src (log: $dir.deb.log)"; }
  file=$(ls "$dir/${PACKAGE}_"*"_$arch.deb")
  cp "$file" "$out/"
  log "$(basename "$file") in $((SECONDS - t)) s"
}

# One architecture's tarball: configure, build and pack in DIR, then copy it
# into the output folder.
pack() { # DIR [CMAKE ARGS...]
  local dir=$1 t=$SECONDS
  shift
  mkdir -p "$dir"
  cmake -S "$REPO_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    ${cmake_args[@]+"${cmake_args[@]}"} "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; die "configuring $dir failed"; }
  cmake --build "$dir" -j"$(nproc)" >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; die "building $dir failed"; }
  rm -f "$dir"/"$PACKAGE"-*.tar.gz
  (cd "$dir" && cpack -G TGZ) >"$dir.cpack.log" 2>&1 ||
    { cat "$dir.cpack.log" >&2; die "cpack failed in $dir"; }
  local files=("$dir"/"$PACKAGE"-*.tar.gz)
  [[ ${#files[@]} -eq 1 && -f ${files[0]} ]] || die "cpack made ${files[*]} in $dir"
  cp "${files[@]}" "$out/"
  log "$(basename "${files[0]}") in $((SECONDS - t)) s"
}

mkdir -p "$out" "$build"
out=$(cd "$out" && pwd)
build=$(cd "$build" && pwd)
rm -f "$out"/"$PACKAGE"_*.deb "$out"/"$PACKAGE"-*.tar.gz
deb amd64 "$build/amd64-deb"
pack "$build/amd64"
arm64_host "$build/arm64-host"
deb arm64 "$build/arm64-deb"
pack "$build/arm64" "${ARM64_CMAKE_ARGS[@]}"
log "packages in $out:"
ls -1 "$out" >&2
