#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (in build-fuzz/), then runs each one for the given number of
# seconds, starting from the seeds in fuzz/corpus/<target>/. Prints the executions, the corpus
# size and any crash of each target; exits non-zero when a target crashed or could not run.
#
# Usage: tools/fuzz.sh [seconds per target, default 60] [target...]
#   tools/fuzz.sh            every target for 60 s
#   tools/fuzz.sh 600        every target for 10 minutes
#   tools/fuzz.sh 30 fuzz_headers
# A crash leaves its input in build-fuzz/artifacts/; rerun it with
#   build-fuzz/<target> build-fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: tools/fuzz.sh [seconds per target] [target...]" >&2
  exit 2
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_headers fuzz_records fuzz_decode fuzz_proxy fuzz_clienthello fuzz_session)

packages=(clang-14 libclang-rt-14-dev cmake ninja-build qt6-base-dev libgl-dev libssl-dev
          zlib1g-dev libbrotli-dev libzstd-dev libicu-dev
          libc-ares-dev libsqlite3-dev pkg-config
          qtkeychain-qt6-dev)
bash tools/install-missing.sh "${packages[@]}"

build=build-fuzz
# Warnings are errors in CI (CI set, or KESTRUNE_WERROR=ON), as in tools/setup.sh.
werror=${KESTRUNE_WERROR:-$([ -n "${CI:-}" ] && echo ON || echo OFF)}
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DKESTRUNE_WERROR="$werror" \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

# The longest input worth trying: a request or an answer of a few kilobytes, a few dozen
# trace operations, one exchange through the proxy.
max_len_of() {
  case "$1" in
    fuzz_headers) echo 4096 ;;
    fuzz_records) echo 16384 ;;
    fuzz_proxy) echo 8192 ;;
    fuzz_clienthello) echo 2048 ;;
    fuzz_session) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

# FUZZ_SEED fixes libFuzzer's random seed (CI sets it, so that a run there follows the same
# mutations as a run here from the same seeds); unset, every run explores anew.
seed_option=""
if [ -n "${FUZZ_SEED:-}" ]; then
  [[ "$FUZZ_SEED" =~ ^[0-9]+$ ]] || { echo "FUZZ_SEED must be a number" >&2; exit 2; }
  seed_option="-seed=$FUZZ_SEED"
fi

mkdir -p "$build/artifacts"
summary="$build/summary.txt"
printf '%-14s %8s %12s %9s %12s  %s\n' target seconds executions "exec/s" "corpus" result > "$summary"
failed=0
for target in "${targets[@]}"; do
  # The committed seeds stay as they are; what the fuzzer finds goes to the build folder.
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  log="$build/$target.log"
  echo "== $target: ${seconds}s" >&2
  set +e
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="print_stacktrace=1" \
    "$build/$target" "$corpus" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=30 ${seed_option} \
    -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    > "$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sk "$corpus" | cut -f1)
  if [ "$rc" -eq 0 ]; then
    result="no crash"
  else
    result="CRASH (exit $rc)"
    failed=1
    echo "---- $target failed; the end of its log ($log):" >&2
    grep -av '^#\|^INFO\|^stat::\|^MS:\|^base unit' "$log" | tail -60 >&2 || true
    ls -1 "$build/artifacts/$target-"* 2>/dev/null | sed 's/^/input: /' >&2 || true
  fi
  printf '%-14s %8s %12s %9s %12s  %s\n' "$target" "$seconds" "${runs:-?}" "${speed:-?}" \
    "$files files/${bytes}K" "$result" >> "$summary"
done

cat "$summary"
exit "$failed"
