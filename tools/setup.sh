#!/usr/bin/env bash
# Installs what Kestrune needs from Debian (when missing), then configures and builds it.
# Usage: tools/setup.sh [--sanitize]   (prints the build folder on its last line)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev
          googletest libgtest-dev libgmock-dev curl ccache
          dpkg-dev lintian appstream groff-base fakeroot
          shared-mime-info
          libssl-dev
          python3-jsonschema
          zlib1g-dev libbrotli-dev libzstd-dev libicu-dev
          libc-ares-dev
          libsqlite3-dev
          qtkeychain-qt6-dev
          openssl)
bash tools/install-missing.sh "${packages[@]}"

build=build
opts=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  opts=(-DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON)
fi
# Warnings are errors in CI (CI set, or KESTRUNE_WERROR=ON); a developer's build only warns.
werror=${KESTRUNE_WERROR:-$([ -n "${CI:-}" ] && echo ON || echo OFF)}
opts+=(-DKESTRUNE_WERROR="$werror")
# ccache, when present, makes rebuilds in fresh clones and other work trees cheap.
if command -v ccache >/dev/null; then
  opts+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$PWD")} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
cmake -S . -B "$build" -G Ninja "${opts[@]}" >&2
# The HAR 1.2 schema for the export test: npm's har-schema, once per build folder.
if [ ! -f "$build/npm/node_modules/har-schema/package.json" ] && command -v npm >/dev/null; then
  npm install --silent --no-audit --no-fund --prefix "$build/npm" har-schema@2.0.0 >&2 \
    || echo "setup: npm could not install har-schema; the HAR schema test will fail" >&2
fi
cmake --build "$build" -j"$(nproc)" >&2
echo "$build"
