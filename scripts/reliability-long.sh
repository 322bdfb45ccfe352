#!/usr/bin/env bash
# Reliability, the long runs: 250 crash trials at random moments on the plain
# build and 50 more on the sanitizer build, a crash trial at every file step
# of start-up and of each command, a long two-copy run, and each fuzz
# target for QUILLOCK_FUZZ_SECONDS (300 by default). Writes the figures to
# reliability-figures.txt in the build folder.
#   scripts/reliability-long.sh
set -euo pipefail
source "$(dirname "$0")/lib.sh"
source "$QUILLOCK_ROOT/scripts/reliability-lib.sh"

start=$(date +%s)
reliability_install
build_quillock
cmake --build "$QUILLOCK_BUILD" --target quillock-crashtest | tail -n 1
figures="$QUILLOCK_BUILD/reliability-figures.txt"
: >"$figures"
status=0

echo "-- crash test, plain build"
"$QUILLOCK_BUILD/quillock-crashtest" run --trials "${QUILLOCK_CRASH_TRIALS:-250}" --budget 1800 \
  --summary "$figures.crash" || status=1
cat "$figures.crash" >>"$figures"
"$QUILLOCK_BUILD/quillock-crashtest" race --rounds 300 --summary "$figures" || status=1
"$QUILLOCK_BUILD/quillock-crashtest" race --sealed --rounds 150 --summary "$figures" || status=1
"$QUILLOCK_BUILD/quillock-crashtest" run --points --accounts 3 --trials 5000 --budget 1800 \
  --summary "$figures.crash" || status=1
cat "$figures.crash" >>"$figures"

reliability_sanitizer_build
echo "-- crash test, sanitizer build"
"$QUILLOCK_ASAN_BUILD/quillock-crashtest" run --trials 50 --budget 900 --summary "$figures.crash" || status=1
echo "(sanitizer build)" >>"$figures"
cat "$figures.crash" >>"$figures"
rm -f "$figures.crash"

reliability_fuzz_build
echo "-- fuzzing, ${QUILLOCK_FUZZ_SECONDS:-300} s per target"
reliability_fuzz "${QUILLOCK_FUZZ_SECONDS:-300}" | tee -a "$figures" || status=1

echo "long reliability runs: $(( $(date +%s) - start )) s; figures in $figures"
exit $status
