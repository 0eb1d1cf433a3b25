#!/usr/bin/env bash
# Counts what one relayed 1 KiB request costs Kestrune in user-space instructions (valgrind's
# callgrind, which counts the same on a busy machine as on a quiet one; the kernel's share is
# not in it). Requests go one after another through one curl, on one keep-alive connection or
# with a new connection each; start-up, the warm-up requests and the shut-down are left out.
#
# Usage: bash bench/request_instructions.sh --kestrune PATH [--requests N] [--close]
set -euo pipefail
export LC_ALL=C
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export PATH="$PATH:/usr/sbin:/sbin"

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
die() { echo "request_instructions.sh: $*" >&2; exit 2; }

kestrune="" requests=300 close=0
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) [ $# -ge 2 ] || die "--kestrune needs a path"; kestrune=$2; shift ;;
    --requests) [[ "${2:-}" =~ ^[1-9][0-9]{0,4}$ ]] || die "--requests needs a number from 1 to 99999"; requests=$2; shift ;;
    --close) close=1 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done
[ -x "$kestrune" ] || die "give the program with --kestrune PATH"
bash "$root/tools/install-missing.sh" nginx curl valgrind python3

base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/kestrune-instructions.XXXXXX")
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_port() { # PORT PID
  local i
  for ((i = 0; i < 600; i++)); do
    kill -0 "$2" 2>/dev/null || die "process $2 exited at start"
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  die "nothing listens on port $1 after 60 s"
}

mkdir -p "$work/www" "$work/nginx" "$work/config" "$work/data"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
origin_port=$(free_port) proxy_port=$(free_port)
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 1024; }
http {
  types { application/octet-stream bin; }
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server { listen 127.0.0.1:$origin_port; root $work/www; }
}
CONF
nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" >/dev/null 2>&1 &
pids+=("$!")
wait_port "$origin_port" "$!"

env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" valgrind --tool=callgrind \
  --instr-atstart=no --callgrind-out-file="$work/callgrind.out" \
  "$kestrune" --headless --quiet --port "$proxy_port" >"$work/kestrune.log" 2>&1 &
kestrune_pid=$!
pids+=("$kestrune_pid")
wait_port "$proxy_port" "$kestrune_pid"

url="http://127.0.0.1:$origin_port/1k.bin"
curl_args=(-sS --fail -o /dev/null -x "http://127.0.0.1:$proxy_port")
[ "$close" = 1 ] && curl_args+=(-H "Connection: close")
curl "${curl_args[@]}" "$url?[1-20]" || die "the warm-up requests failed"

callgrind_control -i on "$kestrune_pid" >/dev/null 2>&1
curl "${curl_args[@]}" "$url?[1-$requests]" || die "the measured requests failed"
callgrind_control -i off "$kestrune_pid" >/dev/null 2>&1
kill "$kestrune_pid"
wait "$kestrune_pid" 2>/dev/null || true
instructions=$(grep -m1 '^totals:' "$work/callgrind.out" | awk '{print $2}')
[ -n "$instructions" ] || die "callgrind wrote no totals"
mode=keep-alive
[ "$close" = 1 ] && mode="new connection"
python3 -c 'import sys; print(f"{sys.argv[3]}: {int(sys.argv[1]) / int(sys.argv[2]):,.0f} instructions per request over {sys.argv[2]} requests")' \
  "$instructions" "$requests" "$mode"
