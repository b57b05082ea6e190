#!/usr/bin/env bash
# Runs every benchmark program of a build directory; each prints its ratios.
set -uo pipefail
build=${1:-build}
status=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 || status=1
done
for s in "$(dirname "$0")"/*.sh; do
  [ "$(basename "$s")" = run_all.sh ] && continue
  echo "=== $(basename "$s")"
  bash "$s" "$build" || status=1
done
exit $status
