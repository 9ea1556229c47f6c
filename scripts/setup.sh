#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, if missing.
set -euo pipefail
packages=(cmake ninja-build ccache g++ gcc-multilib g++-multilib googletest libgtest-dev libgmock-dev libbenchmark-dev python3-serial)
missing=()
# The driver is also compiled with an independent Windows toolchain.
packages+=(g++-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
packages+=(clang libclang-rt-dev)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
