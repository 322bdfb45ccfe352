#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless:
# the unit tests, then every further suite under scripts/suites/.
set -euo pipefail
source "$(dirname "$0")/scripts/setup.sh"

status=0
(cd "$QUILLOCK_BUILD" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)") || status=1

for suite in "$QUILLOCK_ROOT"/scripts/suites/*.sh; do
  [ -e "$suite" ] || continue
  echo "== $(basename "$suite" .sh)"
  bash "$suite" || status=1
done
exit $status
