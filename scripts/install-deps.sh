#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build (and, with --tests, the test suites;
# with --bench, the tests and the benchmarks' chart) need.
set -euo pipefail

packages=(cmake g++ make pkg-config libobs-dev obs-studio xvfb xauth)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(python3-matplotlib)
fi
if [[ "${1:-}" == "--tests" || "${1:-}" == "--bench" ]]; then
  packages+=(googletest libgtest-dev libgmock-dev python3 python3-websocket debootstrap
             libwayland-dev binutils libbenchmark-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
