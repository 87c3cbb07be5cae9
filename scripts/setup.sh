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
# Run it as yourself: it asks for sudo only to install packages. Under sudo
# it stops, since it would install into root's OBS and not yours.
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

if [[ $(id -u) -eq 0 && -n ${SUDO_USER:-} && $SUDO_USER != root ]]; then
  echo "Run scripts/setup.sh as $SUDO_USER, without sudo: under sudo it would install into root's OBS," >&2
  echo "not into $SUDO_USER's. It asks for sudo itself when it installs packages." >&2
  exit 1
fi

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

if [[ ${#deps[@]} -gt 0 && ! -d $flatpak_app ]]; then
  echo "The Flatpak OBS has no folder here yet ($flatpak_app): it makes one when it first starts." >&2
  echo "Start it once (flatpak run com.obsproject.Studio), quit it, then run scripts/setup.sh --no-debian-obs again." >&2
  echo "Without the Flatpak OBS, run scripts/setup.sh without --no-debian-obs." >&2
  exit 1
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

next="Next: quit OBS if it is running and start it again: it loads plug-ins only when it starts."
! $start_obs || next="Starting OBS now. Quit any OBS already running first: it loads plug-ins only when it starts."
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
logs=${XDG_CONFIG_HOME:-$HOME/.config}/obs-studio/logs
[[ ! -d $flatpak_app ]] || logs+=", or for the Flatpak OBS in $flatpak_app/config/obs-studio/logs"
cat <<EOF

$next
Then Help -> Log Files -> View Current Log in OBS (the newest file in
$logs) holds the line
  [brivora-signature-guard] Brivora Rurozezod Ivuri loaded (version $version)
EOF

if $start_obs; then
  if [[ ${#deps[@]} -gt 0 ]]; then
    exec flatpak run com.obsproject.Studio
  elif [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    exec obs
  else
    exec xvfb-run -a obs
  fi
fi
