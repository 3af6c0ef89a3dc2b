#!/usr/bin/env bash
# The receiver's web view in a real browser: starts skald-receiver, feeds it
# with the example program (a message, an error, a crash, a transaction), then
# drives headless Chromium through browser_test.mjs. Installs playwright-core
# once into <build-dir>/webview-test; screenshots land in
# <build-dir>/webview-test/screenshots.
# Exits 77 (skipped) when Node, npm, the npm packages or Chromium cannot be had.
# Usage: run_webview_test.sh <build-dir> <skald-receiver> <skald-example>
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 <build-dir> <skald-receiver> <skald-example>" >&2
  exit 2
fi
build=$1
receiver_bin=$2
example_bin=$3
here=$(cd "$(dirname "$0")" && pwd)
work="$build/webview-test"
chromium=${SKALD_CHROMIUM:-/usr/bin/chromium}

skip() {
  echo "webview: skipped: $*"
  exit 77
}

# shellcheck source=../support/npm_packages.sh
. "$here/../support/npm_packages.sh"
if reason=$(node_and_npm_missing 20); then skip "$reason"; fi
[ -x "$chromium" ] || skip "$chromium is missing (scripts/install-deps.sh installs the chromium package)"

install_npm_packages "$here" "$work" webview ||
  skip "playwright-core could not be installed (no access to the npm registry?)"
cp "$here/browser_test.mjs" "$work/browser_test.mjs"

run=$(mktemp -d "${TMPDIR:-/tmp}/skald-webview.XXXXXX")
receiver_pid=""
cleanup() {
  if [ -n "$receiver_pid" ]; then kill "$receiver_pid" 2> /dev/null || true; wait "$receiver_pid" 2> /dev/null || true; fi
  rm -rf "$run"
}
trap cleanup EXIT

"$receiver_bin" --port 0 > "$run/receiver.log" 2>&1 &
receiver_pid=$!
url=""
for _ in $(seq 1 200); do
  url=$(grep -o 'http://[0-9.]*:[0-9]*' "$run/receiver.log" 2> /dev/null | head -n 1 || true)
  [ -n "$url" ] && break
  sleep 0.05
done
[ -n "$url" ] || { echo "webview: the receiver did not start:"; cat "$run/receiver.log"; exit 1; }

export SKALD_DSN="http://0123456789abcdef0123456789abcdef@${url#http://}/1"
export HOME="$run/home" XDG_CACHE_HOME="$run/home/.cache" XDG_DATA_HOME="$run/home/.local/share"
mkdir -p "$HOME"
example() { "$example_bin" --flush 5 "$@" > "$run/example.log" 2>&1; }
echo "webview: feeding $url"
echo "a file the event carries" > "$run/notes.txt"
example --lifecycle active --breadcrumb "opened" --user 42 --tag screen=main \
  --message "Hello from the example" --lifecycle terminate
example --breadcrumb "saving" --tag screen=editor --scope-file "$run/notes.txt" \
  --error com.example:7:"Save failed" --underlying posix:28:"No space"
# The crash is sent by the next start; the shell reports the expected SIGSEGV.
status=0
(example --lifecycle active --breadcrumb "before the crash" --crash segv) 2> /dev/null || status=$?
[ "$status" -ne 0 ] || { echo "webview: the example did not crash"; exit 1; }
example --crashed-last-run -
example --traces-sample-rate 1 --transaction "checkout"

export SKALD_EXAMPLE="$example_bin"
export SKALD_CHROMIUM="$chromium"
set +e
(cd "$work" && timeout 240 node browser_test.mjs "$url" "$work/screenshots")
status=$?
set -e
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
  echo "webview: receiver log:"
  tail -n 40 "$run/receiver.log"
fi
exit "$status"
