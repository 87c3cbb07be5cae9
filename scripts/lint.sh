#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# House style: every C++ file formatted by .clang-format, and clang-tidy's
# bug-finding checks (.clang-tidy) clean on src/.
#
# Usage: scripts/lint.sh [--fix]   (--fix rewrites the files' formatting in place)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --lint

mapfile -t cxx_files < <(git ls-files '*.cpp' '*.h' '*.hpp')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i --style=file "${cxx_files[@]}"
  exit 0
fi

status=0
clang-format --dry-run --Werror --style=file "${cxx_files[@]}" || {
  echo "lint: formatting differs from .clang-format (scripts/lint.sh --fix rewrites it)" >&2
  status=1
}

build=build-tests/lint
mkdir -p build-tests
cmake -S . -B "$build" -DBUILD_TESTING=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; exit 1; }
mapfile -t sources < <(git ls-files 'src/*.cpp')
printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null |
  grep -E '(warning|error):' && status=1
exit $status
