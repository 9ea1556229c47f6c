#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs the test suites:
# the default build, AddressSanitizer with UndefinedBehaviorSanitizer, and
# ThreadSanitizer over the free-mode stress tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

run_preset() {
  local preset=$1; shift
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run_preset default
run_preset asan -LE stress
run_preset tsan -L stress
