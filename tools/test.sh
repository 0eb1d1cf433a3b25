#!/usr/bin/env bash
# Sets up and builds Kestrune if needed, then runs the test suite.
# Usage: tools/test.sh [--sanitize] [--quick]
#   --sanitize  the suite built with AddressSanitizer and UndefinedBehaviorSanitizer
#   --quick     only the tests labelled unit and network: the load tests are left out
set -euo pipefail
cd "$(dirname "$0")/.."
setup_args=()
ctest_args=()
for arg in "$@"; do
  case "$arg" in
    --sanitize) setup_args+=(--sanitize) ;;
    --quick) ctest_args+=(-L 'unit|network') ;;
    *) echo "usage: tools/test.sh [--sanitize] [--quick]" >&2; exit 2 ;;
  esac
done
build=$(tools/setup.sh "${setup_args[@]}" | tail -n 1)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 "${ctest_args[@]}"
