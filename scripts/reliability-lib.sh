#!/usr/bin/env bash
# Shared by the reliability suite and the long runs: source after lib.sh.

QUILLOCK_ASAN_BUILD=${QUILLOCK_ASAN_BUILD:-$QUILLOCK_ROOT/build-asan}
QUILLOCK_FUZZ_BUILD=${QUILLOCK_FUZZ_BUILD:-$QUILLOCK_ROOT/build-fuzz}

# Any finding stops the program that made it, and so fails the run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export QT_QPA_PLATFORM=offscreen

reliability_install() {
  install_missing "${QUILLOCK_PACKAGES[@]}" clang
  # libFuzzer's runtime comes with the compiler-rt of the installed clang.
  local major
  major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
  install_missing "libclang-rt-$major-dev"
}

# Configures and builds as configure_and_build does, with the folder and
# the time taken around it and only the build's last line in between.
reliability_build() {
  local what=$1 folder=$2 step
  shift 2
  step=$(date +%s)
  echo "-- $what in $folder"
  configure_and_build "$folder" "$@" | tail -n 1
  echo "   $(( $(date +%s) - step )) s"
}

reliability_sanitizer_build() {
  reliability_build "sanitizer build" "$QUILLOCK_ASAN_BUILD" -DCMAKE_BUILD_TYPE=Debug -DQUILLOCK_SANITIZE=ON
}

reliability_fuzz_build() {
  reliability_build "fuzz targets (clang)" "$QUILLOCK_FUZZ_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF -- --target fuzzers
}

# Runs every fuzz target for $1 seconds over the committed corpus. New
# inputs go to a scratch folder; the corpus in the repository is only read.
reliability_fuzz() {
  local seconds=$1 status=0 scratch target name
  scratch=$(mktemp -d)
  for target in "$QUILLOCK_FUZZ_BUILD"/fuzz_*; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name=$(basename "$target")
    mkdir -p "$scratch/$name"
    if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
         -artifact_prefix="$scratch/$name-" "$scratch/$name" "$QUILLOCK_ROOT/fuzz/corpus/$name" \
         >"$scratch/$name.log" 2>&1; then
      echo "   $name: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$scratch/$name.log" | tail -n1), no findings"
    else
      status=1
      echo "   $name: FINDING"
      tail -n 60 "$scratch/$name.log"
      for artifact in "$scratch/$name"-*; do
        [ -e "$artifact" ] && echo "   input: $artifact"
      done
    fi
  done
  [ $status -eq 0 ] && rm -rf "$scratch"
  return $status
}
