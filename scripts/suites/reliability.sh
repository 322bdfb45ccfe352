#!/usr/bin/env bash
# Reliability, the short runs: the whole unit suite built with AddressSanitizer
# and UndefinedBehaviorSanitizer, a short crash run and a two-copy run on that
# build, a crash run at every 7th file step on the plain build, and a short
# run of each fuzz target over its committed corpus.
# The long runs: scripts/reliability-long.sh.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
source "$QUILLOCK_ROOT/scripts/reliability-lib.sh"

suite_start=$(date +%s)
reliability_install
reliability_sanitizer_build
step=$(date +%s)
echo "-- unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
(cd "$QUILLOCK_ASAN_BUILD" && ctest --output-on-failure -j "$(nproc)" --timeout 600)
echo "   $(( $(date +%s) - step )) s"

step=$(date +%s)
echo "-- crash test, short run"
"$QUILLOCK_ASAN_BUILD/quillock-crashtest" run --trials "${QUILLOCK_CRASH_TRIALS:-25}" --min-trials 10 --budget 120
"$QUILLOCK_ASAN_BUILD/quillock-crashtest" race --rounds "${QUILLOCK_RACE_ROUNDS:-200}"
"$QUILLOCK_ASAN_BUILD/quillock-crashtest" race --sealed --rounds "${QUILLOCK_SEALED_RACE_ROUNDS:-60}"
# Cutting at file steps preloads a library, which wants the plain build.
cmake --build "$QUILLOCK_BUILD" --target quillock-crashtest | tail -n 1
"$QUILLOCK_BUILD/quillock-crashtest" run --points --point-step "${QUILLOCK_POINT_STEP:-7}" --accounts 3 \
  --trials 2000 --budget 240
echo "   $(( $(date +%s) - step )) s"

reliability_fuzz_build
step=$(date +%s)
echo "-- fuzzing, ${QUILLOCK_FUZZ_SECONDS:-30} s per target"
reliability_fuzz "${QUILLOCK_FUZZ_SECONDS:-30}"
echo "   $(( $(date +%s) - step )) s"

echo "reliability suite: $(( $(date +%s) - suite_start )) s"
