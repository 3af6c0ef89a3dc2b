#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them, then times whole
# processes: the example program with and without the SDK, and the CPU the
# SDK's threads use while the host is idle.
# Usage: scripts/bench.sh [benchmark filter]
#   BENCH_PROCESS_RUNS (default 30) and BENCH_IDLE_SECONDS (default 60; 0 skips)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSKALD_BUILD_TESTS=OFF
cmake --build "$build" --parallel "$(nproc)"
for b in "$build"/bench/*_bench; do
  if [ "$(basename "$b")" = crash_report_bench ]; then continue; fi  # needs the test victims
  "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
       ${1:+--benchmark_filter="$1"} | tee "$build/$(basename "$b").txt"
done

# Capture until stored against serialize + atomic write of the same bytes.
awk '/_median/ { t[$1] = $2 * ($3 == "ms" ? 1000 : 1) }
     END {
       c = t["BM_CaptureMessageUntilStored_median"]
       s = t["BM_SerializeSameEventOnly_median"]; w = t["BM_WriteSameBytesAtomically_median"]
       if (c && s && w) printf "capture until stored / (serialize + atomic write): %.2f\n", c / (s + w)
     }' "$build/sdk_bench.txt" || true

example="$build/examples/skald-example"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# Nothing listens on port 9: the SDK starts, caches and exits as on a host offline.
dsn="http://public@127.0.0.1:9/1"

# Median wall milliseconds of `runs` runs of a command.
median_ms() {
  local runs=$1; shift
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
  done | sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", v[int((NR + 1) / 2)] / 1000 }'
}

runs=${BENCH_PROCESS_RUNS:-30}
with=$(median_ms "$runs" env HOME="$home" SKALD_DSN="$dsn" "$example" --flush 0)
without=$(median_ms "$runs" env -u SKALD_DSN HOME="$home" "$example" --flush 0)
echo "skald-example --flush 0: ${with} ms with the SDK, ${without} ms without (median of $runs)"

idle=${BENCH_IDLE_SECONDS:-60}
if [ "$idle" -gt 0 ]; then
  env HOME="$home" SKALD_DSN="$dsn" "$example" --sleep $((idle + 3)) --flush 0 >/dev/null 2>&1 &
  pid=$!
  sleep 2
  # CPU nanoseconds of every thread (the first field of schedstat).
  cpu_ns() { cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { print s + 0 }'; }
  before=$(cpu_ns)
  sleep "$idle"
  after=$(cpu_ns)
  wait "$pid" || true
  awk -v b="$before" -v a="$after" -v s="$idle" \
    'BEGIN { printf "idle host: the SDK used %.3f ms of CPU per minute\n", (a - b) / 1e6 * 60 / s }'
fi
