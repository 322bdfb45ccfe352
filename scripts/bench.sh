#!/usr/bin/env bash
# Builds the benchmark program in a Release build of its own and runs it:
#   scripts/bench.sh [--sizes 1000,10000,40000,100000] [--table FILE] [Google Benchmark options]
#   scripts/bench.sh --health [--lines 20000000] [--list FILE] [--table FILE] [Google Benchmark options]
# Generated vaults are kept in $QUILLOCK_BENCH_VAULTS between runs. The table
# of medians (ours, the floor, the ratio) is printed at the end.
source "$(dirname "$0")/lib.sh"

BENCH_BUILD=${QUILLOCK_BENCH_BUILD:-$QUILLOCK_ROOT/build-bench}
BENCH_VAULTS=${QUILLOCK_BENCH_VAULTS:-$BENCH_BUILD/bench-vaults}

install_missing "${QUILLOCK_PACKAGES[@]}" libbenchmark-dev
if [ "${1:-}" = --health ]; then
  # The password health check writes a breach list of about 900 MB into a
  # temporary folder (TMPDIR) and removes it at the end.
  shift
  configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=Release -- --target quillock-bench-health
  echo "load before: $(uptime)"
  "$BENCH_BUILD/quillock-bench-health" --vaults "$BENCH_VAULTS" "$@"
  echo "load after: $(uptime)"
  exit 0
fi
configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=Release -- --target quillock-bench quillock-makebigvault

echo "load before: $(uptime)"
QT_QPA_PLATFORM=offscreen "$BENCH_BUILD/quillock-bench" --vaults "$BENCH_VAULTS" "$@"
echo "load after: $(uptime)"
