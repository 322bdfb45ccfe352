#!/usr/bin/env bash
# Installs what is missing, builds, and starts Quillock from build/app.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: start Quillock from a desktop session (or set DISPLAY)." >&2
  exit 1
fi
cd "$QUILLOCK_APP"
exec "$QUILLOCK_APP/quillock"
