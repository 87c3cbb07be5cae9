#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the Debian packages the build (and, with --tests, the test suites;
# with --demo, scripts/demo.sh; with --lint, scripts/lint.sh; with --bench,
# the tests and the benchmarks' chart; with --package, scripts/package.sh) need. --no-obs leaves out Debian's OBS
# (obs-studio, and Xvfb to start it without a display): the build needs only
# libobs-dev, and a Flatpak OBS user has an OBS already.
#
#   scripts/install-deps.sh [--tests | --bench | --demo | --lint | --package | --no-obs]
set -euo pipefail

packages=(cmake g++ make pkg-config libobs-dev obs-studio xvfb xauth)
if [[ "${1:-}" == "--no-obs" ]]; then
  packages=(cmake g++ make pkg-config libobs-dev)
fi
# scripts/package.sh: no OBS, dpkg-buildpackage and debhelper for the .deb,
# apt-ftparchive and gpg for scripts/apt-repo.sh,
# Debian's cross toolchain for the arm64 packages.
if [[ "${1:-}" == "--package" ]]; then
  packages=(cmake g++ make pkg-config libobs-dev dpkg-dev debhelper g++-aarch64-linux-gnu apt-utils gpg)
fi
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(python3-matplotlib)
fi
if [[ "${1:-}" == "--tests" || "${1:-}" == "--bench" ]]; then
  # qtbase5-dev: the benchmark hands UI tasks on as OBS 29 does, through Qt 5.
  # uthash-dev: libobs's INI reader, compiled into the user.ini property test.
  packages+=(googletest libgtest-dev libgmock-dev python3 python3-websocket debootstrap
             libwayland-dev binutils libbenchmark-dev qtbase5-dev patchelf dpkg-dev gdb
             qemu-user-static g++-aarch64-linux-gnu uthash-dev)
fi
# scripts/demo.sh, also run by the tests: the OBS driver in demo/, a window
# finder, an image library and a font for the picture.
if [[ "${1:-}" == "--tests" || "${1:-}" == "--demo" ]]; then
  packages+=(python3 python3-websocket x11-utils python3-pil fonts-dejavu-core)
fi
# scripts/lint.sh, also run by the tests: the house style and clang-tidy.
if [[ "${1:-}" == "--tests" || "${1:-}" == "--lint" ]]; then
  packages+=(clang-format clang-tidy)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null ||
    { echo "Installing ${missing[*]} needs root: run this as root, or install sudo" >&2; exit 1; }
  sudo="sudo"
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
