#!/usr/bin/env bash
# Builds each preset afresh in build/warnings-<preset> (default: every
# preset) and counts the compiler's warning lines in its build log. A fresh
# build matters: the compiler cache replays a cached object's warnings, but
# an up-to-date object is not compiled at all and so would hide them.
#   scripts/warnings.sh [PRESET...]
# Each preset builds what it is for: every target, but the fuzz preset only
# its fuzz targets (clang links the sanitizer runtime into programs, not into
# the driver module).
# Prints one line per preset (warnings, log) and, where there are warnings,
# how many each top-level folder has. Exits non-zero if any preset warns or
# fails to build.
set -uo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
((${#presets[@]})) || presets=(default debug asan tsan fuzz)
jobs=${ACM_WARNINGS_JOBS:-2}

target_of() { [[ $1 == fuzz ]] && echo fuzz_targets || echo all; }

status=0
for preset in "${presets[@]}"; do
  dir=build/warnings-$preset log=build/warnings-$preset.log
  rm -rf "$dir"
  mkdir -p build
  if cmake --preset "$preset" -B "$dir" >"$log" 2>&1 &&
     cmake --build "$dir" -j "$jobs" --target "$(target_of "$preset")" >>"$log" 2>&1; then
    result=built
  else
    result=FAILED status=1
  fi
  count=$(grep -c 'warning:' "$log")
  ((count == 0)) || status=1
  printf '%-8s %-6s %4d warnings  %s\n' "$preset" "$result" "$count" "$log"
  # Where the warnings are: the path of each warning line, from the top of the tree.
  grep 'warning:' "$log" | sed -E "s|^$PWD/||; s|^(\.\./)+||; s|/.*||; s|:.*||" | sort | uniq -c | sed 's/^/           /'
done
exit $status
