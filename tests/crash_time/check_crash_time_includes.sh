#!/usr/bin/env bash
# Fails when crash-time code includes a header of the SDK from above it:
# src/crash/async_safe/ may include only its own headers, the header-only
# async-signal-safe helpers of src/platform/system/, and system headers.
#
# Usage: check_crash_time_includes.sh SOURCE_DIR
set -euo pipefail
dir=$1
[[ -d $dir ]] || { echo "check_crash_time_includes: no directory $dir" >&2; exit 2; }

violations=$(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$dir"/*.h "$dir"/*.cpp |
    grep -v -E '#[[:space:]]*include[[:space:]]*"(crash/async_safe|platform/system)/' || true)
if [[ -n $violations ]]; then
    echo "crash-time code includes headers from above it:" >&2
    sed 's/^/  /' <<<"$violations" >&2
    echo "Hand the data down instead: code above sets it through a crash-time API." >&2
    exit 1
fi
echo "crash-time code includes only crash-time and system headers"
