#!/usr/bin/env bash
# Builds the benchmark program in a Release build of its own and runs it:
#   scripts/bench.sh [--sizes 1000,10000,40000,100000] [--table FILE] [Google Benchmark options]
# Generated vaults are kept in $QUILLOCK_BENCH_VAULTS between runs. The table
# of medians (ours, the floor, the ratio) is printed at the end.
source "$(dirname "$0")/lib.sh"

BENCH_BUILD=${QUILLOCK_BENCH_BUILD:-$QUILLOCK_ROOT/build-bench}
BENCH_VAULTS=${QUILLOCK_BENCH_VAULTS:-$BENCH_BUILD/bench-vaults}

install_missing "${QUILLOCK_PACKAGES[@]}" libbenchmark-dev
configure_and_build "$BENCH_BUILD" -DCMAKE_BUILD_TYPE=Release -- --target quillock-bench quillock-makebigvault

echo "load before: $(uptime)"
QT_QPA_PLATFORM=offscreen "$BENCH_BUILD/quillock-bench" --vaults "$BENCH_VAULTS" "$@"
echo "load after: $(uptime)"
