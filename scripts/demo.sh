#!/usr/bin/env bash
# The main job, end to end on this machine: builds the installer and the local
# services, starts the receiver (the error-tracking service) and the demo
# download service on loopback, runs the installer so that it downloads,
# installs Vantorel into the user's Applications folder, launches it and quits,
# then runs it once more against a broken download to show a reported failure,
# prints what the receiver got and the address of the receiver's web view (kept
# open until Enter when run from a terminal).
#
# Usage: scripts/demo.sh [--frontend=terminal|gtk] [build-dir]
#   The GTK window is used when a display is available, the terminal otherwise.
#   DEMO_HOME=DIR runs with DIR as the home folder instead of $HOME.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
frontend=""
build="$root/build"
for arg in "$@"; do
  case "$arg" in
    --frontend=*) frontend="$arg" ;;
    *) build="$arg" ;;
  esac
done
if [ -z "$frontend" ]; then
  if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then frontend="--frontend=gtk"; else frontend="--frontend=terminal"; fi
fi

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" --parallel "$(nproc)" --target vantorel-installer skald-receiver \
  skald-download-service skald-hdiutil skald-open vantorel-demo-app

work=$(mktemp -d "${TMPDIR:-/tmp}/vantorel-demo.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "${DEMO_HOME:-}" ]; then
  mkdir -p "$DEMO_HOME"
  export HOME="$DEMO_HOME" XDG_DATA_HOME="$DEMO_HOME/.local/share" XDG_CACHE_HOME="$DEMO_HOME/.cache"
fi

# Waits for "<program> listening on http://HOST:PORT" in a log; prints the URL.
listening_url() {
  for _ in $(seq 1 200); do
    if url=$(grep -o 'http://[0-9.]*:[0-9]*' "$1" 2> /dev/null | head -n 1) && [ -n "$url" ]; then
      echo "$url"
      return 0
    fi
    sleep 0.05
  done
  echo "no service came up; its log:" >&2
  cat "$1" >&2
  return 1
}

"$build/tools/skald-receiver" --port 0 --dir "$work/envelopes" > "$work/receiver.log" 2>&1 &
pids+=($!)
receiver=$(listening_url "$work/receiver.log")
"$build/tools/skald-download-service" --port 0 > "$work/service.log" 2>&1 &
pids+=($!)
service=$(listening_url "$work/service.log")
"$build/tools/skald-download-service" --port 0 --format zip --serve-no-app \
  > "$work/broken-service.log" 2>&1 &
pids+=($!)
broken=$(listening_url "$work/broken-service.log")

# The browser stand-in only says what it would open.
cat > "$work/browser" << 'BROWSER'
#!/bin/sh
echo "(browser would open: $*)"
BROWSER
chmod +x "$work/browser"
export VANTOREL_TOOL_URL_OPENER="$work/browser"
export VANTOREL_DEV_DSN="http://0123456789abcdef0123456789abcdef@${receiver#http://}/1"
export VANTOREL_APP_LIFETIME=3
# The installer runs from its application bundle, which gives its reports
# their release, dist and app context.
installer="$build/installer/Vantorel Installer.app/Contents/MacOS/Vantorel Installer"

echo
echo "== 1. Installing Vantorel from $service"
VANTOREL_DEV_DOWNLOAD_ORIGIN="$service" "$installer" "$frontend" < /dev/null
installed="$HOME/Applications/Vantorel.app"
[ -d "/Applications/Vantorel.app" ] && installed="/Applications/Vantorel.app"
echo "installed: $installed"
ls -R "$installed" | sed 's/^/  /'
sleep 1
echo "the app's own log:"
sed 's/^/  /' "${XDG_DATA_HOME:-$HOME/.local/share}/Vantorel/app.log" 2> /dev/null || echo "  (none yet)"

echo
echo "== 2. A download without an application, from $broken"
VANTOREL_DEV_DOWNLOAD_ORIGIN="$broken" "$installer" "$frontend" < /dev/null || true

echo
echo "== What the receiver got"
sleep 1
sed 's/^/  /' "$work/receiver.log"
for file in "$work"/envelopes/*; do
  [ -f "$file" ] || continue
  echo "  -- $(basename "$file")"
  head -c 1500 "$file" | tr -c '[:print:]\n' '.' | sed 's/^/     /'
  echo
done

echo
echo "== The receiver's web view: $receiver/"
if [ -t 0 ]; then
  echo "Open it in a browser to see what arrived; press Enter to stop the receiver."
  read -r _ || true
else
  echo "(it stops with this script; run the receiver yourself to keep it: $build/tools/skald-receiver --port 8969)"
fi
