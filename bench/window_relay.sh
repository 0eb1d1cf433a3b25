#!/usr/bin/env bash
# Relays 64 MiB GETs (binary and text/html) and a keep-alive stream of 1 KiB requests through
# Kestrune with its window up on the offscreen platform and the Request Viewer, the Response
# Viewer and then the Setup page active, and prints throughput and the event loop's longest
# pause. Builds window_bench into build-bench-ui/ (RelWithDebInfo) unless --program is given.
#
# Usage: bash bench/window_relay.sh [--program PATH]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

program=""
while [ $# -gt 0 ]; do
  case "$1" in
    --program) [ $# -ge 2 ] || die "--program needs a path"; program=$2; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done
for tool in nginx curl wrk python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (apt-get install nginx curl wrk python3)"
done
if [ -z "$program" ]; then
  build_kestrune window_bench "$root/build-bench-ui" -DKESTRUNE_BENCH=ON || die "window_bench did not build"
  program="$root/build-bench-ui/bench/window_bench"
fi

bench_work kestrune-window

mkdir -p "$work/www" "$work/config"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c $((64 << 20)) /dev/urandom >"$work/www/64m.bin"
# Text without NUL bytes, so the viewers show every byte of it.
python3 -c "
import random, sys
line = ''.join(random.choice('abcdefghijklmnopqrstuvwxyz <>/=') for _ in range(99)) + '\n'
sys.stdout.write(line * ((64 << 20) // 100))" >"$work/www/64m.html"
start_nginx "$work/www" "sendfile on;" || die "the origin web server did not start"

XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
  timeout 600 "$program" "$origin_port" "$here/relay.lua"
