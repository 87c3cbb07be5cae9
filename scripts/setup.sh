#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what the build needs, builds the module and installs it into the
# user's OBS plug-in folder. With --start-obs, starts OBS with it afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

start_obs=false
[[ "${1:-}" == "--start-obs" ]] && start_obs=true

scripts/install-deps.sh

cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBRIVORA_BUILD_TESTS=OFF
cmake --build build-release -j"$(nproc)"

plugin_dir="${XDG_CONFIG_HOME:-$HOME/.config}/obs-studio/plugins/brivora-signature-guard"
install -d "$plugin_dir/bin/64bit" "$plugin_dir/data/locale"
install -m 0755 build-release/brivora-signature-guard.so "$plugin_dir/bin/64bit/"
install -m 0644 data/locale/en-US.ini "$plugin_dir/data/locale/"
echo "Installed into $plugin_dir"

if $start_obs; then
  if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    exec obs
  else
    exec xvfb-run -a obs
  fi
fi
