#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what the build needs, builds the module and installs it into the
# user's OBS plug-in folder, and into the Flatpak OBS's one as well when the
# user has that OBS. A list of what it installed is kept, so that
#   scripts/setup.sh --uninstall
# removes exactly that: the files, and the folders it made once they are empty.
#
# Installing the packages needs root or sudo. They include Debian's OBS
# (obs-studio); --no-debian-obs leaves it out, for users of the Flatpak OBS.
#
#   scripts/setup.sh [--no-debian-obs] [--start-obs]
#       --start-obs: start OBS afterwards (with --no-debian-obs, the Flatpak OBS)
#   BRIVORA_BUILD_DIR                the build folder (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=install
start_obs=false
deps=()
for arg in "$@"; do
  case $arg in
    --start-obs) start_obs=true ;;
    --no-debian-obs) deps=(--no-obs) ;;
    --uninstall) mode=uninstall ;;
    *) echo "usage: $0 [--no-debian-obs] [--start-obs] | --uninstall" >&2; exit 2 ;;
  esac
done

build=${BRIVORA_BUILD_DIR:-build-release}
state_dir="${XDG_STATE_HOME:-$HOME/.local/state}/brivora-signature-guard"
manifest=$state_dir/installed.txt
flatpak_app=$HOME/.var/app/com.obsproject.Studio

uninstall() {
  [[ -f $manifest ]] || { echo "Nothing installed by scripts/setup.sh"; return 0; }
  local kind path dirs=()
  while read -r kind path; do
    case $kind in
      file) rm -f -- "$path"; echo "Removed $path" ;;
      dir) dirs=("$path" ${dirs[@]+"${dirs[@]}"}) ;;  # deepest first: made after their parents
    esac
  done <"$manifest"
  rm -f -- "$manifest"
  for path in ${dirs[@]+"${dirs[@]}"}; do
    [[ ! -d $path ]] || rmdir --ignore-fail-on-non-empty -- "$path"
  done
}

# mkdir -p DIR, noting in the manifest each folder it makes.
make_dirs() {
  local dir=$1 made=()
  while [[ ! -e $dir ]]; do made=("$dir" ${made[@]+"${made[@]}"}); dir=$(dirname "$dir"); done
  mkdir -p -- "$1"
  for dir in ${made[@]+"${made[@]}"}; do echo "dir $dir" >>"$manifest"; done
}

# The module into one OBS plug-in folder, by the build's per-user rules.
install_into() {
  local plugins=$1 dirs_before
  make_dirs "$plugins"
  dirs_before=$(find "$plugins/brivora-signature-guard" -type d 2>/dev/null | sort || true)
  cmake --install "$build" --component user --prefix "$plugins" >/dev/null
  comm -13 <(echo "$dirs_before") <(find "$plugins/brivora-signature-guard" -type d | sort) |
    sed 's/^/dir /' >>"$manifest"
  awk '{ print "file " $0 }' "$build/install_manifest_user.txt" >>"$manifest"  # no final newline there
  echo "Installed into $plugins/brivora-signature-guard"
}

if [[ $mode == uninstall ]]; then
  uninstall
  exit 0
fi

scripts/install-deps.sh ${deps[@]+"${deps[@]}"}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

uninstall >/dev/null  # what an earlier run installed
make_dirs "$state_dir"
install_into "${XDG_CONFIG_HOME:-$HOME/.config}/obs-studio/plugins"
if [[ -d $flatpak_app ]]; then
  install_into "$flatpak_app/config/obs-studio/plugins"
fi

if $start_obs; then
  if [[ ${#deps[@]} -gt 0 ]]; then
    exec flatpak run com.obsproject.Studio
  elif [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    exec obs
  else
    exec xvfb-run -a obs
  fi
fi
