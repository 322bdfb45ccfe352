#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless:
# the unit tests, then every further suite under scripts/suites/.
#   ./test.sh           the whole suite (what CI runs)
#   ./test.sh --quick   the unit tests alone, for everyday runs
set -euo pipefail
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: ./test.sh [--quick]" >&2; exit 2 ;;
esac
source "$(dirname "$0")/scripts/setup.sh"

status=0
(cd "$QUILLOCK_BUILD" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)") || status=1
if [ $quick -eq 1 ]; then
  exit $status
fi

for suite in "$QUILLOCK_ROOT"/scripts/suites/*.sh; do
  [ -e "$suite" ] || continue
  echo "== $(basename "$suite" .sh)"
  bash "$suite" || status=1
done
exit $status
