#!/usr/bin/env bash
# Sets up the machine, builds the default configuration and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target acmsim
exec build/default/tools/acmsim demo "$@"
