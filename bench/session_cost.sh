#!/usr/bin/env bash
# What recording a session costs, in CPU time per thread (figures that a loaded machine does not
# change much): a keep-alive load of 1 KiB GETs and a few 64 MiB GETs through a headless Kestrune
# from a loopback nginx, once without and once with --session, alternated.
#
# Usage: bash bench/session_cost.sh --kestrune PATH [--rounds N] [--seconds S] [--gets N]
set -euo pipefail
export LC_ALL=C
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export PATH="$PATH:/usr/sbin:/sbin"
here=$(cd "$(dirname "$0")" && pwd)

die() { echo "session_cost.sh: $*" >&2; exit 2; }
kestrune="" rounds=2 seconds=3 gets=3
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) kestrune=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --seconds) seconds=${2:?}; shift ;;
    --gets) gets=${2:?}; shift ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done
[ -x "$kestrune" ] || die "--kestrune PATH is needed"
for tool in nginx wrk curl python3; do command -v "$tool" >/dev/null || die "$tool is missing"; done

base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/kestrune-session-cost.XXXXXX")
started=()
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() { # PORT
  local i
  for ((i = 0; i < 300; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  die "nothing listens on port $1"
}
# Ticks of each thread: "tid ticks user kernel" lines (ticks = utime + stime).
thread_ticks() {
  local task
  for task in /proc/"$1"/task/*; do
    awk -v t="${task##*/}" '{ sub(/^.*\) /, ""); print t, $12 + $13, $12, $13 }' "$task/stat" 2>/dev/null || true
  done
}
# Waits (at most 10 s) until the process spent no CPU for half a second: the writer caught up.
settle() {
  local before after i
  for ((i = 0; i < 20; i++)); do
    before=$(thread_ticks "$1" | awk '{ s += $2 } END { print s }')
    sleep 0.5
    after=$(thread_ticks "$1" | awk '{ s += $2 } END { print s }')
    [ "$before" = "$after" ] && return 0
  done
}
# "loop writer writer-user writer-kernel" ticks: the main thread's, and all others' together.
split_ticks() {
  thread_ticks "$1" | awk -v p="$1" '$1 == p { l += $2; next } { o += $2; u += $3; k += $4 } END { print l + 0, o + 0, u + 0, k + 0 }'
}

mkdir -p "$work/www" "$work/nginx"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
head -c $((64 << 20)) /dev/urandom >"$work/www/64m.bin"
origin_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  types { application/octet-stream bin; }
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
EOF
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" >/dev/null 2>&1 &
started+=("$!")
wait_port "$origin_port"

run() { # LABEL [kestrune options...]
  local label=$1 port pid requests t0 t1 t2 rss
  shift
  port=$(free_port)
  mkdir -p "$work/k/config" "$work/k/data"
  env XDG_CONFIG_HOME="$work/k/config" XDG_DATA_HOME="$work/k/data" \
    "$kestrune" --headless --quiet --port "$port" "$@" >"$work/k/out.log" 2>&1 &
  pid=$!
  wait_port "$port"
  settle "$pid"
  read -r -a t0 <<<"$(split_ticks "$pid")"
  requests=$(BENCH_URL="http://127.0.0.1:$origin_port/1k.bin" timeout $((seconds + 30)) \
    wrk -t1 -c20 -d"${seconds}s" --timeout 5s -s "$here/relay.lua" "http://127.0.0.1:$port/" |
    sed -n 's/^BENCH requests=\([0-9]*\).*/\1/p') || true
  settle "$pid"
  read -r -a t1 <<<"$(split_ticks "$pid")"
  for ((g = 0; g < gets; g++)); do
    curl -sS --fail -o /dev/null -x "http://127.0.0.1:$port" "http://127.0.0.1:$origin_port/64m.bin"
  done
  settle "$pid"
  read -r -a t2 <<<"$(split_ticks "$pid")"
  rss=$(awk '/VmHWM/ { print $2 }' "/proc/$pid/status")
  kill -TERM "$pid"; wait "$pid" 2>/dev/null || true
  python3 - "$label" "${requests:-0}" "$gets" "$rss" "${t0[@]}" "${t1[@]}" "${t2[@]}" <<'EOF'
import os, sys
label, req, gets, rss = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
l0, w0, u0, k0, l1, w1, u1, k1, l2, w2, u2, k2 = map(int, sys.argv[5:17])
ms = 1000 / os.sysconf("SC_CLK_TCK")
per_req = lambda t: t * ms * 1000 / max(req, 1)
per_get = lambda t: t * ms / gets
print(f"{label:8} keep-alive {req:7} req: loop {per_req(l1 - l0):5.1f} us/req, other {per_req(w1 - w0):5.1f}"
      f" (user {per_req(u1 - u0):.1f}, kernel {per_req(k1 - k0):.1f})"
      f" | 64 MiB GET: loop {per_get(l2 - l1):6.1f} ms, other {per_get(w2 - w1):6.1f}"
      f" (user {per_get(u2 - u1):.1f}, kernel {per_get(k2 - k1):.1f}) | peak RSS {rss / 1024:.1f} MiB")
EOF
}

for ((r = 1; r <= rounds; r++)); do
  run without
  rm -f "$work/s.kestrune"
  run with --session "$work/s.kestrune"
  rm -f "$work/s.kestrune"*
done
