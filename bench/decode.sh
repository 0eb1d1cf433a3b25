#!/usr/bin/env bash
# Decoding benchmark: the 2 MiB text/html page of bench/relay.sh, served gzip-compressed by a
# loopback origin, fetched through a headless Kestrune with "Decode compressed bodies" off and
# on (alternating, same origin, same client), and uncompressed for reference. Prints the median
# time per download and each figure's ratio to decoding off: the machine may be shared.
#
# Usage: bash bench/decode.sh [--reps N] [--kestrune PATH]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
reps=15 kestrune="$root/build/src/kestrune"
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=$2; shift ;;
    --kestrune) kestrune=$2; shift ;;
    *) echo "usage: bash bench/decode.sh [--reps N] [--kestrune PATH]" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$kestrune" ] || { echo "decode.sh: not an executable program: $kestrune" >&2; exit 2; }

bench_work kestrune-decode "${TMPDIR:-/tmp}"

# The page of bench/relay.sh, and its gzip form.
make_page "$work/2m.html"
gzip -6 -k "$work/2m.html"

# Origin: answers every GET with the page, gzip-encoded when the request accepts it.
python3 - "$work" >"$work/origin.port" <<'PY' &
import http.server, socketserver, sys, os
work = sys.argv[1]
plain = open(os.path.join(work, "2m.html"), "rb").read()
packed = open(os.path.join(work, "2m.html.gz"), "rb").read()
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def do_GET(self):
        gz = "gzip" in self.headers.get("Accept-Encoding", "")
        body = packed if gz else plain
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        if gz:
            self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
bench_pids+=($!)
for _ in $(seq 50); do [ -s "$work/origin.port" ] && break; sleep 0.1; done
origin=$(head -n1 "$work/origin.port")

# One headless Kestrune per mode, with settings of its own.
mkdir -p "$work/off" "$work/on"
XDG_CONFIG_HOME="$work/off" start_headless "$kestrune" "$work/off.err" --quiet || exit 1
port_off=$kestrune_port pid_off=$kestrune_pid
XDG_CONFIG_HOME="$work/on" start_headless "$kestrune" "$work/on.err" --quiet --decode || exit 1
port_on=$kestrune_port pid_on=$kestrune_pid

fetch() { # proxy port, accept-encoding -> seconds
  curl -s -o "$work/out" -x "http://127.0.0.1:$1" -H "Accept-Encoding: $2" --max-time 30 \
       -w '%{time_total}' "http://127.0.0.1:$origin/2m.html"
}
declare -A times=() cpu=()
for kind in gzip plain; do
  accept=$([ $kind = gzip ] && echo gzip || echo identity)
  off_before=$(cpu_ticks "$pid_off") on_before=$(cpu_ticks "$pid_on")
  for ((r = 1; r <= reps; r++)); do
    for mode in off on; do
      port=port_$mode
      times[${kind}_$mode]+="$(fetch "${!port}" $accept) "
      if [ $kind = gzip ] && ! cmp -s "$work/out" "$work/2m.html.gz"; then
        echo "decode.sh: the gzip body changed on its way" >&2; exit 1
      fi
    done
  done
  cpu[${kind}_off]=$(( $(cpu_ticks "$pid_off") - off_before ))
  cpu[${kind}_on]=$(( $(cpu_ticks "$pid_on") - on_before ))
done

median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf 'page %s bytes, gzip %s bytes, %d runs each (shared machine: compare ratios)\n' \
  "$(stat -c %s "$work/2m.html")" "$(stat -c %s "$work/2m.html.gz")" "$reps"
base=$(echo "${times[gzip_off]}" | median)
for key in gzip_off gzip_on plain_off plain_on; do
  m=$(echo "${times[$key]}" | median)
  awk -v k="$key" -v m="$m" -v b="$base" -v c="${cpu[$key]}" -v n="$reps" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "%-10s median %7.2f ms   %5.2f x the time of gzip_off   Kestrune CPU %6.2f ms per download\n", k, m * 1000, m / b, c * 1000 / hz / n }'
done
