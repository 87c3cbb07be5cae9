#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Reproduces docs/performance.md in one command: installs what it needs,
# builds the benchmark and the module in build-bench/, runs the benchmarks
# (repeated; the figures are medians), the memory check over 100,000 passes
# and the OBS idle runs, then redraws docs/performance.png and the tables.
# The raw output stays in build-bench/bench-results/.
#
#   bench/run.sh [--repetitions N] [--idle-repeat N] [--idle-seconds S] [--no-obs]
#
# --no-obs skips the OBS idle runs (about 5 minutes for each repeat) and
# keeps the figures of the last ones.
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=7
idle_repeat=2
idle_seconds=60
obs=1
while [[ $# -gt 0 ]]; do
  case $1 in
    --repetitions) repetitions=$2; shift 2 ;;
    --idle-repeat) idle_repeat=$2; shift 2 ;;
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    --no-obs) obs=0; shift ;;
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
  /usr/bin/python3 bench/idle_obs.py --module "$build/brivora-signature-guard.so" \
    --seconds "$idle_seconds" --repeat "$idle_repeat" --json "$out/idle.json"
  idle=(--idle "$out/idle.json")
elif [[ -f $out/idle.json ]]; then
  idle=(--idle "$out/idle.json") # the last OBS runs, kept
fi
/usr/bin/python3 bench/plot.py --bench "$out/bench.json" --memory "$out/memory.json" "${idle[@]}" \
  --chart docs/performance.png --doc docs/performance.md
echo "docs/performance.md and docs/performance.png redrawn from $out"
