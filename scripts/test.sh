#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs the test suites:
# the default build (which also compiles the driver with MinGW-w64 and
# compares constants with MinGW's), AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer over the free-mode stress
# tests, and a bounded run of each libFuzzer target (clang).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

# run_preset PRESET BUILD_TARGET CTEST_ARGS...
run_preset() {
  local preset=$1 target=$2; shift 2
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target "$target"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs" --no-tests=error "$@"
}

run_preset default all -LE stress
run_preset asan all -LE 'stress|race'
# The soak (label stress) under AddressSanitizer as well.
ctest --preset asan --no-tests=error -R '^SoakTest\.'
run_preset tsan stress_tests -L stress
run_preset fuzz fuzz_targets -L fuzz
