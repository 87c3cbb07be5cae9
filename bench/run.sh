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
#   bench/run.sh --crash-rate N
#
# --no-obs skips the OBS idle runs (about 3.5 minutes for each pair) and
# keeps the figures of the last ones. --before-module also runs the pairs
# with an earlier build of the module, to compare with (idle-before.json;
# without it, the last such runs are kept). --agreement-files (default
# 100000; 0 skips it) runs the user.ini property test against the host's own
# readers on that many files, in a Debian 13 chroot (OBS 30's libobs).
#
# --crash-rate N measures only how often OBS crashes in the canvas scenario
# (the canvas changed while OBS runs): N runs with the module and N without,
# in OBS 29 here and in OBS 30, OBS 32 and OBS 32 in the upstream library
# layout (the roots that scripts/obs32-chroot.sh makes under build-bench/).
# A crash is read from OBS's core (gdb) and its verdict printed.
set -euo pipefail
cd "$(dirname "$0")/.."

repetitions=7
pairs=5
idle_seconds=40
obs=1
before_module=""
agreement_files=100000
crash_runs=""
while [[ $# -gt 0 ]]; do
  case $1 in
    --crash-rate) crash_runs=$2; shift 2 ;;
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

if [[ -n $crash_runs ]]; then
  module=$(realpath "$build/brivora-signature-guard.so")
  crash_rate() { # harness command...
    "$@" --module "$module" --scenario canvas --crash-rate "$crash_runs" | grep -E '^\[OBS|crash[^ ]* in'
    "$@" --module "$module" --scenario canvas --crash-rate "$crash_runs" --baseline | grep -E '^\[OBS|crash[^ ]* in'
  }
  crash_rate /usr/bin/python3 tests/e2e/run_e2e.py
  scripts/obs32-chroot.sh --root "$build/obs30-root" --suite trixie setup >"$out/obs30-setup.log" 2>&1
  crash_rate scripts/obs32-chroot.sh --root "$build/obs30-root" e2e --no-setup
  scripts/obs32-chroot.sh --root "$build/obs32-root" setup >"$out/obs32-setup.log" 2>&1
  crash_rate scripts/obs32-chroot.sh --root "$build/obs32-root" e2e --no-setup
  scripts/obs32-chroot.sh --root "$build/obs32-upstream-root" upstream-layout --from "$build/obs32-root" \
    >>"$out/obs32-setup.log" 2>&1
  crash_rate scripts/obs32-chroot.sh --root "$build/obs32-upstream-root" e2e --no-setup
  exit 0
fi

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
