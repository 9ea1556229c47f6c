#!/usr/bin/env bash
# Runs every `race` test of a build over a range of seeds, split into chunks
# run in parallel on all cores, and reports seeds per second and each failure
# with the command that reruns its first failing seed alone. Not part of CI.
#
#   scripts/sweep.sh [SEEDS]      SEEDS as ACM_SEEDS takes it: FIRST:LAST or N
#                                 (default 1:20000)
# Environment: BUILD_DIR (default build/default, built beforehand),
#              JOBS (default nproc), CHUNK (seeds per run; default splits
#              each test's range once per job slot).
# Schedules by preemption count instead of seeds: not here, but a race test
# run with ACM_PREEMPTIONS=1 (or 2), or `ctest -L bounded`; the `bounded`
# tests are left out of the sweep (docs/testing.md, Bounded preemption).
set -euo pipefail
cd "$(dirname "$0")/.."

seeds=${1:-1:20000}
build=${BUILD_DIR:-build/default}
jobs=${JOBS:-$(nproc)}

if [[ ! $seeds =~ ^([1-9][0-9]*)(:([1-9][0-9]*))?$ ]]; then
  echo "sweep.sh: SEEDS must be FIRST:LAST or N (whole numbers from 1), not '$seeds'" >&2
  exit 2
fi
first=${BASH_REMATCH[1]}
last=${BASH_REMATCH[3]:-$first}
if (( last < first )); then
  echo "sweep.sh: SEEDS $seeds: FIRST is after LAST" >&2
  exit 2
fi
count=$(( last - first + 1 ))
chunk=${CHUNK:-$(( (count + jobs - 1) / jobs ))}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One line per race test: its name, then its command, tab-separated.
ctest --test-dir "$build" -L race -LE bounded --show-only=json-v1 |
  /usr/bin/python3 -c '
import json, sys
for t in json.load(sys.stdin)["tests"]:
    print("\t".join([t["name"]] + t["command"]))' > "$work/tests"
tests=$(wc -l < "$work/tests")
if (( tests == 0 )); then
  echo "sweep.sh: no race tests in $build (build the race_tests target first)" >&2
  exit 2
fi

# The jobs: one line per test and chunk, "index<TAB>FROM:TO".
index=0
while IFS= read -r _; do
  for (( from = first; from <= last; from += chunk )); do
    to=$(( from + chunk - 1 < last ? from + chunk - 1 : last ))
    printf '%d\t%d:%d\n' "$index" "$from" "$to"
  done
  index=$(( index + 1 ))
done < "$work/tests" > "$work/jobs"

# run_chunk INDEX RANGE: runs one test over one chunk; a failure leaves its
# log in $work/failed.
run_chunk() {
  local line name log
  line=$(sed -n "$(( $1 + 1 ))p" "$work/tests")
  IFS=$'\t' read -r -a cmd <<< "$line"
  name=${cmd[0]}
  log="$work/log.$1.${2/:/-}"
  if ! ACM_SEEDS=$2 "${cmd[@]:1}" > "$log" 2>&1; then
    {
      echo "FAILED $name (seeds $2)"
      grep -A1 '^first failing seed:' "$log" ||
        echo "no seed named (crash?); rerun the chunk: ACM_SEEDS=$2 ${cmd[*]:1}"
    } > "$work/failed.$1.${2/:/-}"
  fi
}
export -f run_chunk
export work

echo "sweep: $tests race tests over seeds $first:$last ($count each), chunks of $chunk, $jobs jobs"
start=$(date +%s.%N)
tr '\t' ' ' < "$work/jobs" | xargs -P "$jobs" -L 1 bash -c 'run_chunk "$@"' _
end=$(date +%s.%N)

total=$(( tests * count ))
rate=$(/usr/bin/python3 -c "print(f'{$total / max($end - $start, 1e-9):.0f}')")
elapsed=$(/usr/bin/python3 -c "print(f'{$end - $start:.1f}')")
failures=$(find "$work" -name 'failed.*' | wc -l)
echo "sweep: $total seeds in ${elapsed}s: $rate seeds per second"
if (( failures > 0 )); then
  cat "$work"/failed.*
  echo "sweep: $failures chunk(s) failed"
  exit 1
fi
echo "sweep: no failures"
