#!/usr/bin/env bash
# Paths and helpers shared by every script: source it, then call what you need.
set -euo pipefail

QUILLOCK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUILLOCK_BUILD=${QUILLOCK_BUILD:-$QUILLOCK_ROOT/build}
QUILLOCK_APP=$QUILLOCK_BUILD/app

QUILLOCK_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libsqlcipher-dev sqlcipher libsodium-dev libcsv-dev
  fonts-liberation
)

install_missing() {
  local missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build_quillock() {
  if [ ! -f "$QUILLOCK_BUILD/build.ninja" ]; then
    cmake -S "$QUILLOCK_ROOT" -B "$QUILLOCK_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
  cmake --build "$QUILLOCK_BUILD" -j "$(nproc)"
}

