#!/usr/bin/env bash
# Round trip of baggage headers between our encoder and decoder and a W3C
# Baggage implementation run under Node. Installs its npm packages once into
# <build-dir>/w3c_baggage, then runs the check program against it.
# Exits 77 (skipped) when Node or npm is missing or the install fails.
# Usage: run_w3c_baggage_test.sh <build-dir> <test-binary>
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <build-dir> <test-binary>" >&2
  exit 2
fi
build=$1
binary=$2
here=$(cd "$(dirname "$0")" && pwd)
work="$build/w3c_baggage"

skip() {
  echo "w3c_baggage: skipped: $*"
  exit 77
}

# shellcheck source=../support/npm_packages.sh
. "$here/../support/npm_packages.sh"
if reason=$(node_and_npm_missing 18); then skip "$reason"; fi

install_npm_packages "$here" "$work" w3c_baggage ||
  skip "the npm packages could not be installed (no access to the npm registry?)"
cp "$here/roundtrip.mjs" "$work/roundtrip.mjs"

core_version=$(node -p 'require(process.argv[1]).version' \
  "$work/node_modules/@opentelemetry/core/package.json")
echo "w3c_baggage: node $(node --version), @opentelemetry/core $core_version"
exec "$binary" "$work/roundtrip.mjs"
