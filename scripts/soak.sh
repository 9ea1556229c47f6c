#!/usr/bin/env bash
# Runs the soak (tests/soak) for MINUTES minutes (default 10) under
# ThreadSanitizer, then for as long under AddressSanitizer: builds the soak
# target of the tsan and asan presets, runs each once and exits non-zero on
# a failure or a sanitizer report. Not for CI, which runs it for 30 s each.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
export ACM_SOAK_SECONDS=$((minutes * 60))
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for preset in tsan asan; do
  echo "=== $preset: soak for $minutes min"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" --target soak_tests
  "build/$preset/tests/soak/soak_tests"
done
