#!/usr/bin/env bash
# The benchmarks are built on request only; building them here keeps them
# from falling behind the code they measure. Nothing is run.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
install_missing libbenchmark-dev
# Configured again: the build may predate the library.
cmake -S "$QUILLOCK_ROOT" -B "$QUILLOCK_BUILD" >/dev/null
cmake --build "$QUILLOCK_BUILD" --target quillock-bench quillock-bench-health | tail -n 1
