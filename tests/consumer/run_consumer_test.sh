#!/usr/bin/env bash
# Installs the SDK into a temporary prefix, builds the consumer program there
# once with find_package and once with pkg-config, runs both against the local
# receiver and checks that both message events arrived.
#   run_consumer_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/skald-consumer.XXXXXX")
receiver_pid=""
cleanup() {
  [ -n "$receiver_pid" ] && kill "$receiver_pid" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"

# With find_package, as a CMake project outside the tree.
cmake -S "$source/tests/consumer" -B "$work/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release > "$work/configure.log"
cmake --build "$work/cmake-build" > "$work/build.log"

# With pkg-config, the same program by hand.
pc=$(find "$work/prefix" -name skald.pc | head -n 1)
[ -n "$pc" ] || { echo "no skald.pc under the prefix"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
# shellcheck disable=SC2046
c++ -std=c++20 -O1 "$source/tests/consumer/main.cpp" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs skald)

"$build/tools/skald-receiver" --port 0 --dir "$work/received" > "$work/receiver.log" 2>&1 &
receiver_pid=$!
port=""
for _ in $(seq 1 200); do
  port=$(grep -o '127.0.0.1:[0-9]*' "$work/receiver.log" | head -n 1 | cut -d: -f2 || true)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "the receiver did not start"; cat "$work/receiver.log"; exit 1; }

export SKALD_DSN="http://public@127.0.0.1:$port/1"
export HOME="$work/home" XDG_CACHE_HOME="$work/home/.cache" XDG_DATA_HOME="$work/home/.local/share"
"$work/cmake-build/skald-consumer" "sent through find_package"
"$work/consumer-pc" "sent through pkg-config"

for text in "sent through find_package" "sent through pkg-config"; do
  if ! grep -q "message=\"$text\"" "$work/receiver.log"; then
    echo "missing at the receiver: $text"
    cat "$work/receiver.log"
    exit 1
  fi
done
echo "both consumers reached the receiver"
