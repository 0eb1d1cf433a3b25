# The set-up the benchmark scripts share, sourced by each (never run):
#   . "$(dirname "$0")/lib.sh"
# It gives the C locale, no proxy variables (every client talks to loopback straight) and the
# system folders on PATH; here (bench/), root (the checkout) and bench_name (the script's name);
# and the functions below. Shell options stay the script's own.
export LC_ALL=C
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY
export PATH="$PATH:/usr/sbin:/sbin"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
bench_name=$(basename "$0")
bench_pids=() # started by bench_spawn: stopped at exit, the last first
work=""

die() { echo "$bench_name: $*" >&2; exit 2; }
log() { echo "[$(date +%H:%M:%S)] $*" >&2; }

# bench_work PREFIX [FOLDER]: makes the work folder $work in FOLDER (default /dev/shm when it
# can be written, so that no disk is in the figures; else /tmp). At exit the processes
# bench_spawn started are stopped, bench_at_exit runs when the script defines it, and the
# folder goes.
bench_work() {
  local base=${2:-/tmp}
  if [ -z "${2:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
  work=$(mktemp -d "$base/$1.XXXXXX")
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_cleanup() {
  local i
  for ((i = ${#bench_pids[@]} - 1; i >= 0; i--)); do
    stop_process "${bench_pids[$i]}"
  done
  if declare -F bench_at_exit >/dev/null; then bench_at_exit || true; fi
  [ -z "$work" ] || rm -rf "$work"
}

# bench_spawn COMMAND...: runs COMMAND in the background (give it redirections as to any
# command) and stops it at exit; its id is in $spawned.
bench_spawn() {
  "$@" &
  spawned=$!
  bench_pids+=("$spawned")
}

process_alive() { # PID: true while the process runs (a zombie counts as gone)
  local state
  [ -r "/proc/$1/stat" ] || return 1
  state=$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) || return 1
  [ -n "$state" ] && [ "$state" != Z ]
}

stop_process() { # PID [TENTHS]: TERM, then KILL after TENTHS tenths of a second (default 50)
  local pid=$1 patience=${2:-50} i
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < patience; i++)); do
    process_alive "$pid" || break
    sleep 0.1
  done
  if process_alive "$pid"; then
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

free_port() { # [ADDRESS]: a port nothing listens on at ADDRESS (127.0.0.1) now
  python3 -c 'import socket, sys; s = socket.socket(); s.bind((sys.argv[1], 0)); print(s.getsockname()[1])' \
    "${1:-127.0.0.1}"
}

port_open() { # PORT: true when 127.0.0.1:PORT accepts a connection
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# wait_port PORT [PID [SECONDS [LOG]]]: waits until PORT accepts (at most SECONDS, default 10);
# fails saying why when it does not or the process PID ended first (with LOG's last lines).
wait_port() {
  local port=$1 pid=${2:-} seconds=${3:-10} logfile=${4:-} i
  for ((i = 0; i < seconds * 10; i++)); do
    if [ -n "$pid" ] && ! process_alive "$pid"; then
      echo "$bench_name: process $pid exited at start" >&2
      [ -z "$logfile" ] || tail -n 10 "$logfile" >&2
      return 1
    fi
    port_open "$port" && return 0
    sleep 0.1
  done
  echo "$bench_name: nothing listens on port $port after $seconds s" >&2
  return 1
}

# start_nginx ROOT [DIRECTIVES]: a loopback nginx origin serving the folder ROOT on a free port
# ($origin_port; its id in $nginx_pid): one worker, no access log, keep-alive without a request
# limit, .bin and .html typed; DIRECTIVES go into its http block as they are ("sendfile on;").
# Its files are in $work/nginx. Fails when it does not listen within 20 s.
start_nginx() {
  local www=$1 extra=${2:-} dir="$work/nginx"
  mkdir -p "$dir"
  origin_port=$(free_port)
  cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 4096; }
http {
  types { application/octet-stream bin; text/html html; }
  default_type application/octet-stream;
  access_log off;
  keepalive_requests 1000000;
  $extra
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  server { listen 127.0.0.1:$origin_port; root $www; }
}
EOF
  bench_spawn nginx -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" >"$dir/out.log" 2>&1
  nginx_pid=$spawned
  wait_port "$origin_port" "$nginx_pid" 20 "$dir/out.log"
}

# start_headless PROGRAM LOG OPTIONS...: PROGRAM --headless --port 0 OPTIONS, its stderr in LOG
# (stdout dropped), stopped at exit; waits at most 30 s for its "listening on port N" line and
# sets $kestrune_port and $kestrune_pid. Fails with LOG's last lines when it does not listen.
start_headless() {
  local program=$1 errlog=$2 i
  shift 2
  bench_spawn "$program" --headless --port 0 "$@" >/dev/null 2>"$errlog"
  kestrune_pid=$spawned
  for ((i = 0; i < 300; i++)); do
    kestrune_port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$errlog" | head -n1)
    [ -n "$kestrune_port" ] && return 0
    process_alive "$kestrune_pid" || break
    sleep 0.1
  done
  echo "$bench_name: Kestrune did not start:" >&2
  tail -n 10 "$errlog" >&2
  return 1
}

# start_tls_origin NAMES: in the current folder (which holds www/), a test root (root.pem,
# root.key), a certificate from it for the subjectAltName NAMES ("DNS:localhost"; origin.pem,
# origin.key), and openssl's own file server with it serving www/ on a free loopback port
# ($origin; HTTP/1.0, one response per connection). Fails when it does not start.
start_tls_origin() {
  (. "$root/tools/test-kit.sh" && make_test_root "Bench Root" && issue origin "$1" 2)
  bench_spawn sh -c 'cd www && exec openssl s_server -accept 127.0.0.1:0 -cert ../origin.pem -key ../origin.key -WWW' > origin.log 2>&1
  for _ in $(seq 300); do grep -q ACCEPT origin.log && break; sleep 0.1; done
  origin=$(grep ACCEPT origin.log | grep -o '[0-9]*$' | head -1)
  [ -n "$origin" ] || { echo "the origin did not start: $(cat origin.log)"; return 1; }
}

make_page() { # FILE: the 2 MiB text/html page of the relay benchmark (text, and a comment)
  python3 - "$1" <<'PY'
import sys
size = 2 << 20
head = b"<!DOCTYPE html>\n<html><head><title>relay benchmark</title></head><body>\n"
tail = b"</body></html>\n"
line = b"<p>The quick brown fox jumps over the lazy dog; 0123456789 &amp; more text.</p>\n"
body = bytearray(head)
while len(body) + len(line) + len(tail) <= size:
    body += line
body += b"<!--" + b"x" * (size - len(body) - len(tail) - 8) + b"-->\n"
body += tail
assert len(body) == size
open(sys.argv[1], "wb").write(body)
PY
}

# build_kestrune [TARGET [FOLDER [CMAKE-OPTIONS...]]]: builds TARGET (default kestrune) into
# FOLDER (default build-bench/ in the checkout), RelWithDebInfo and without the tests; the log
# is FOLDER.log, whose end is shown when the build fails (and then so does this).
build_kestrune() {
  local target=${1:-kestrune} build=${2:-$root/build-bench}
  shift $(($# < 2 ? $# : 2))
  log "building $target into $build"
  if cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_TESTS=OFF \
       "$@" >"$build.log" 2>&1 &&
     cmake --build "$build" -j2 --target "$target" >>"$build.log" 2>&1; then
    return 0
  fi
  tail -n 15 "$build.log" >&2
  return 1
}

cpu_ticks() { # PID: its user + system time (and that of its reaped children), in clock ticks
  local stat rest
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  rest=${stat##*) }
  # shellcheck disable=SC2086
  set -- $rest
  echo $((${12} + ${13} + ${14} + ${15}))
}
