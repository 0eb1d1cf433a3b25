#!/usr/bin/env bash
# Relays 64 MiB GETs (binary and text/html) and a keep-alive stream of 1 KiB requests through
# Kestrune with its window up on the offscreen platform and the Request Viewer, the Response
# Viewer and then the Setup page active, and prints throughput and the event loop's longest
# pause. Builds window_bench into build-bench-ui/ (RelWithDebInfo) unless --program is given.
#
# Usage: bash bench/window_relay.sh [--program PATH]
set -euo pipefail
export LC_ALL=C
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export PATH="$PATH:/usr/sbin:/sbin"

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
die() { echo "window_relay.sh: $*" >&2; exit 2; }

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
  build="$root/build-bench-ui"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TESTS=OFF \
    -DKESTRUNE_BENCH=ON >"$build.log" 2>&1 && cmake --build "$build" -j2 --target window_bench \
    >>"$build.log" 2>&1 || { tail -n 15 "$build.log" >&2; die "window_bench did not build"; }
  program="$build/bench/window_bench"
fi

base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/kestrune-window.XXXXXX")
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then
    kill -TERM "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work/www" "$work/nginx" "$work/config"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c $((64 << 20)) /dev/urandom >"$work/www/64m.bin"
# Text without NUL bytes, so the viewers show every byte of it.
python3 -c "
import random, sys
line = ''.join(random.choice('abcdefghijklmnopqrstuvwxyz <>/=') for _ in range(99)) + '\n'
sys.stdout.write(line * ((64 << 20) // 100))" >"$work/www/64m.html"
origin_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  types { application/octet-stream bin; text/html html; }
  access_log off;
  sendfile on;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$origin_port; root $work/www; }
}
CONF
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" >"$work/nginx/out.log" 2>&1 &
nginx_pid=$!
for ((i = 0; i < 100; i++)); do
  (exec 3<>"/dev/tcp/127.0.0.1/$origin_port") 2>/dev/null && break
  sleep 0.1
done

XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
  timeout 600 "$program" "$origin_port" "$here/relay.lua"
