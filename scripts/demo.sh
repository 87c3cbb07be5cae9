#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Shows the module at work in a throw-away OBS, without touching your own:
# installs what it needs, builds the module (Release, in build-demo) unless
# --module names one, starts OBS in a temporary home seeded like a streamer's
# (under Xvfb when there is no display), once without the module and once
# with it, and saves one picture of the OBS window before and after, with
# what the module changed written below; prints the same.
#
#   scripts/demo.sh [--module PATH] [--out DIR] [--headless]
#
# --out DIR   where the picture, OBS's log and the summary go (default: a
#             new temporary folder, printed at the end)
# --headless  run OBS on Xvfb even when there is a display
set -euo pipefail
cd "$(dirname "$0")/.."

module=""
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --module) module=$2; shift 2 ;;
    --module=*) module=${1#--module=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

scripts/install-deps.sh --demo

if [[ -z "$module" ]]; then
  module=build-demo/brivora-signature-guard.so
  if [[ ! -f build-demo/CMakeCache.txt ]]; then
    echo "Configuring the module's build in build-demo (first run only)"
    # The module alone: no tests.
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
      -Wno-dev --no-warn-unused-cli >/dev/null
  fi
  echo "Building the module in build-demo (the first build takes under a minute)"
  cmake --build build-demo -j"$(nproc)"
fi

# python3-websocket and python3-pil belong to Debian's own interpreter.
exec /usr/bin/python3 demo/demo.py --module "$module" "${args[@]}"
