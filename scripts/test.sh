#!/usr/bin/env bash
# Configures, builds and runs every test. Exits non-zero on any failure.
# Then builds the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer in <build-dir>-sanitize and runs them there
# (SKALD_SANITIZERS=0 leaves that out).
# Usage: scripts/test.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)" --timeout 300

if [ "${SKALD_SANITIZERS:-1}" != 0 ]; then
  sanitize="$build-sanitize"
  cmake -S "$root" -B "$sanitize" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSKALD_SANITIZE=ON -DSKALD_BUILD_BENCH=OFF
  cmake --build "$sanitize" --parallel "$(nproc)" --target skald_unit_tests
  # The SDK's own handlers take the fatal signals (the crash tests are about
  # them); leaks inside the GUI libraries the frontend tests load are not ours.
  ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:allow_user_segv_handler=1 \
    LSAN_OPTIONS=suppressions="$root/tests/sanitizers/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$sanitize" --output-on-failure --parallel "$(nproc)" --timeout 300 -LE 'consumer|crash_time|fuzz'
fi
