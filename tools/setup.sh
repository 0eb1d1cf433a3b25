#!/usr/bin/env bash
# Installs what Kestrune needs from Debian (when missing), then configures and builds it.
# Usage: tools/setup.sh [--sanitize]   (prints the build folder on its last line)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
          googletest libgtest-dev libgmock-dev curl)
bash tools/install-missing.sh "${packages[@]}"

build=build
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  opts=(-DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON)
fi
cmake -S . -B "$build" -G Ninja "${opts[@]}" >&2
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
