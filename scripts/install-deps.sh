#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Runs as root in CI; elsewhere it uses sudo when it has to.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config
  nlohmann-json3-dev libasio-dev libssl-dev zlib1g-dev libplist-dev
  libcurl4-openssl-dev libcpp-httplib-dev
  # the object store
  libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  # libFuzzer targets run as tests
  clang libclang-rt-14-dev
  # the installer: its GTK window (tested under Xvfb) and the archive tools it drives
  libgtk-3-dev xvfb xauth 7zip unzip zip curl
  # crash reports are compared with what gdb reads of core files
  gdb
  # connectivity breadcrumbs are tested on routes of a network namespace
  iproute2
  # the W3C baggage round trip runs under Node; npm is apart unless the Node build bundles it
  nodejs $(command -v npm >/dev/null 2>&1 || echo npm)
  # the receiver's web view is tested in headless Chromium (a font for legible screenshots)
  chromium fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
