#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Reproduces docs/performance.md in one command: installs what it needs,
# builds the benchmark and the module in build-bench/, runs the benchmarks
# (repeated; the figures are medians), the memory check over 100,000 passes
# and the OBS idle runs (interleaved pairs without and with the module), then
# redraws docs/performance.png, docs/performance-idle.png and the tables.
# The raw output stays in build-bench/bench-results/.
#
#   bench/run.sh [--repetitions N] [--pairs N] [--idle-seconds S] [--no-obs]
#                [--before-module SO] [--agreement-files N]
#
# --no-obs skips the OBS idle runs (about 3.5 minutes for each pair) and
# keeps the figures of the last ones. --before-module also runs the pairs
# with an earlier build of the module, to compare with (idle-before.json;
# without it, the last such runs are kept). --agreement-files (default
# 100000; 0 skips it) runs the user.ini property test against the host's own
# readers on that many files, in a Debian 13 chroot (OBS 30's libobs).
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=7
pairs=5
idle_seconds=40
obs=1
before_module=""
agreement_files=100000
while [[ $# -gt 0 ]]; do
  case $1 in
    --repetitions) repetitions=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --before-module) before_module=$(realpath "$2"); shift 2 ;;
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    --no-obs) obs=0; shift ;;
    --agreement-files) agreement_files=$2; shift 2 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh --bench
build=build-bench
out=$build/bench-results
mkdir -p "$out"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target brivora_bench brivora-signature-guard

"$build/bench/brivora_bench" --benchmark_repetitions="$repetitions" --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json
"$build/bench/brivora_bench" --memory-check --json "$out/memory.json"
idle=()
if [[ $obs == 1 ]]; then
  if [[ -n $before_module ]]; then
    /usr/bin/python3 bench/idle_obs.py --module "$before_module" --host-name "$(
      sed -n 's/^BRIVORA_SERVICE_HOST:STRING=//p' "$build/CMakeCache.txt")" \
      --seconds "$idle_seconds" --pairs "$pairs" --json "$out/idle-before.json"
  fi
  /usr/bin/python3 bench/idle_obs.py --module "$build/brivora-signature-guard.so" \
    --seconds "$idle_seconds" --pairs "$pairs" --json "$out/idle.json"
fi
if [[ -f $out/idle.json ]]; then # this run's, or the last OBS runs, kept
  idle=(--idle "$out/idle.json" --idle-chart docs/performance-idle.png)
  [[ -f $out/idle-before.json ]] && idle+=(--idle-before "$out/idle-before.json")
fi
if [[ $agreement_files -gt 0 ]]; then
  root=$PWD/$build/obs30-root
  module=$(scripts/obs32-chroot.sh --root "$root" --suite trixie --with-tests prepare --src . \
    -DBUILD_TESTING=ON 2>"$out/agreement-build.log" | tail -n 1) || { tail -n 40 "$out/agreement-build.log"; exit 1; }
  inside=$(dirname "${module#"$root"}")
  scripts/obs32-chroot.sh --root "$root" run --bind "$PWD" -- env BRIVORA_AGREEMENT_FILES="$agreement_files" \
    "$inside/tests/host-agreement/user_ini_host_agreement" | tee "$out/agreement.txt"
fi
/usr/bin/python3 bench/plot.py --bench "$out/bench.json" --memory "$out/memory.json" "${idle[@]}" \
  --chart docs/performance.png --doc docs/performance.md
echo "docs/performance.md and docs/performance.png redrawn from $out"
