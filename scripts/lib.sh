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

# Configures FOLDER with the cmake arguments when it has no build files
# yet, then builds it; arguments after "--" go to the build.
#   configure_and_build FOLDER [cmake arguments] [-- build arguments]
configure_and_build() {
  local folder=$1 configure=()
  shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    configure+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  if [ ! -f "$folder/build.ninja" ]; then
    cmake -S "$QUILLOCK_ROOT" -B "$folder" -G Ninja "${configure[@]}"
  fi
  cmake --build "$folder" -j "$(nproc)" "$@"
}

build_quillock() {
  configure_and_build "$QUILLOCK_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

