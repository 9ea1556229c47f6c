#!/usr/bin/env bash
# Builds and runs the benchmarks (default preset), prints one table and
# writes it to docs/performance.md above the notes kept there.
#   scripts/bench.sh [REPETITIONS]   wall-clock figures: median of REPETITIONS runs (default 5)
# Figures in host (virtual) time and counts do not depend on the machine's
# load; wall-clock figures do, and say so.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-5}
out=build/default/bench-results
mkdir -p "$out"

cmake --preset default >/dev/null
cmake --build build/default -j "$(nproc)" --target acm_bench
bench=build/default/bench/acm_bench

echo "=== timed bus model, levers and costs (deterministic)"
"$bench" --benchmark_filter='^(timed|levers|cost|scale/outrunning)' \
  --benchmark_format=console --benchmark_out_format=json --benchmark_out="$out/virtual.json" >/dev/null
echo "=== free mode and scale (wall clock, $reps runs)"
"$bench" --benchmark_filter='^(free|scale/ports)' --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true \
  --benchmark_format=console --benchmark_out_format=json --benchmark_out="$out/wall.json" >/dev/null

# Instructions per 1-byte echo and per 4 KiB loopback transfer: two runs
# with different counts under callgrind, so that start-up cancels out.
instructions() {   # FILTER COUNT
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.$2" "$bench" \
    --benchmark_filter="$1" --count="$2" >/dev/null 2>&1
  sed -n 's/^summary: \([0-9]*\).*/\1/p' "$out/callgrind.$2"
}
echo "=== instructions (callgrind)"
echo_a=$(instructions '^cost/echo' 20); echo_b=$(instructions '^cost/echo' 120)
xfer_a=$(instructions '^cost/transfer' 8); xfer_b=$(instructions '^cost/transfer' 48)
cat >"$out/callgrind.json" <<JSON
{"echo": $(((echo_b - echo_a) / 100)), "transfer": $(((xfer_b - xfer_a) / 40))}
JSON

python3 scripts/bench_report.py "$out" docs/performance.md
