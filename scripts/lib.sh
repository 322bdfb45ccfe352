#!/usr/bin/env bash
# Paths and helpers shared by every script: source it, then call what you need.
set -euo pipefail

QUILLOCK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUILLOCK_BUILD=${QUILLOCK_BUILD:-$QUILLOCK_ROOT/build}
QUILLOCK_APP=$QUILLOCK_BUILD/app

QUILLOCK_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libsqlcipher-dev sqlcipher libsodium-dev libssl-dev libcsv-dev
  libzxcvbn-dev diceware
  fonts-liberation
)

# The engine comes from Debian's bookworm-backports (SQLCipher 4.6): the
# release's own 3.4.1 is built on SQLite 3.15 and parses a hostile vault's
# schema unguarded. Backports are never taken unless asked for by name, so
# adding the suite upgrades nothing else.
QUILLOCK_ENGINE_PACKAGES=(libsqlcipher-dev libsqlcipher1 sqlcipher)
QUILLOCK_ENGINE_SUITE=bookworm-backports
QUILLOCK_ENGINE_SOURCE=/etc/apt/sources.list.d/quillock-bookworm-backports.sources

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The installed version of a package; nothing when it is not installed.
installed_version() {
  { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null || true; } | sed -n 's/^install ok installed //p'
}

# Adds the suite to APT's sources unless some source names it already.
add_engine_suite() {
  if grep -rqs "$QUILLOCK_ENGINE_SUITE" /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  echo "Adding Debian's $QUILLOCK_ENGINE_SUITE to APT's sources ($QUILLOCK_ENGINE_SOURCE)"
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: $QUILLOCK_ENGINE_SUITE" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
    as_root tee "$QUILLOCK_ENGINE_SOURCE" >/dev/null
}

# SQLCipher 4 from the suite: installed, or upgraded from the release's 3.x.
install_engine() {
  local pkg version current=1
  for pkg in "${QUILLOCK_ENGINE_PACKAGES[@]}"; do
    version=$(installed_version "$pkg")
    case "$version" in
      4.*) ;;
      *) current=0 ;;
    esac
  done
  [ $current -eq 1 ] && return
  add_engine_suite
  echo "Installing from $QUILLOCK_ENGINE_SUITE: ${QUILLOCK_ENGINE_PACKAGES[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
    -t "$QUILLOCK_ENGINE_SUITE" "${QUILLOCK_ENGINE_PACKAGES[@]}"
}

install_missing() {
  local missing=() engine=0
  for pkg in "$@"; do
    case " ${QUILLOCK_ENGINE_PACKAGES[*]} " in
      *" $pkg "*) engine=1; continue ;;
    esac
    if [ -z "$(installed_version "$pkg")" ]; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
  if [ $engine -eq 1 ]; then
    install_engine
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

