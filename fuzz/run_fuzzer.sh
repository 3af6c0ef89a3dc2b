#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it for a while on a scratch
# copy of its seed corpus. Fails on any crash, hang or sanitizer report.
# Usage: run_fuzzer.sh <clang++> <out-binary> <corpus-dir> <seconds> <sources...>
set -euo pipefail

if [ $# -lt 5 ]; then
  echo "usage: $0 <clang++> <out-binary> <corpus-dir> <seconds> <sources...>" >&2
  exit 2
fi
clangxx=$1
out=$2
corpus=$3
seconds=$4
shift 4
repo=$(cd "$(dirname "$0")/.." && pwd)

# Rebuild only when a source or a header changed, to keep test runs short.
stale=0
if [ ! -x "$out" ]; then
  stale=1
else
  for source in "$@"; do
    if [ "$source" -nt "$out" ]; then stale=1; fi
  done
  if [ -n "$(find "$repo/include" "$repo/src" -name '*.h' -newer "$out" -print -quit)" ]; then
    stale=1
  fi
fi
if [ "$stale" -eq 1 ]; then
  echo "run_fuzzer: building $out"
  "$clangxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I"$repo/include" -I"$repo/src" "$@" -o "$out.tmp"
  mv "$out.tmp" "$out"
fi

scratch=$(mktemp -d "$out.corpus.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
if [ -d "$corpus" ]; then
  cp -R "$corpus"/. "$scratch"/
fi

# Crashing inputs are kept next to the binary for inspection.
"$out" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$out")/$(basename "$out")-" "$scratch"
