#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer) and runs each fuzz target for
# RUNS inputs (default 100000), one target at a time in one process, from a
# copy of its seed corpus (fuzz/corpus/<target>) grown under build/fuzz.
#   scripts/fuzz.sh [RUNS] [TARGET...]
# A crash leaves its input as build/fuzz/artifacts/<target>/crash-*; run the
# target on that file alone to reproduce it, and check it in as a corpus
# entry with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(ioctl notify descriptor regfile regstrings)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target fuzz_targets
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target artifacts=build/fuzz/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  echo "=== $target: $runs inputs"
  if ! build/fuzz/fuzz/${target}_fuzz -runs="$runs" -detect_leaks=0 -max_len=4096 -timeout=20 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$target" 2>"$artifacts/log"; then
    status=1
    echo "$target: FAILED, see $artifacts/log"
  fi
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec)' "$artifacts/log" || true
done
exit $status
