#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them.
# Usage: scripts/bench.sh [benchmark filter]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKALD_BUILD_TESTS=OFF
cmake --build "$build" --parallel "$(nproc)"
for b in "$build"/bench/*_bench; do
  "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
       ${1:+--benchmark_filter="$1"}
done
