#!/usr/bin/env bash
# Headless replay against wrk through Kestrune, on one loopback nginx origin: wrk (20
# connections) through a headless Kestrune for the relay's rate, then kestrune --replay of a
# HAR of N recorded GETs at --concurrency 20 for the replay's rate (wall time of the whole
# command, the HAR's reading included). Prints both rates and their ratio.
# Usage: bash bench/replay.sh [--kestrune PATH] [--requests N] [--seconds S]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
exe=$root/build/src/kestrune requests=10000 seconds=10
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) exe=$2; shift ;;
    --requests) requests=$2; shift ;;
    --seconds) seconds=$2; shift ;;
    *) echo "usage: bash bench/replay.sh [--kestrune PATH] [--requests N] [--seconds S]" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$exe" ] || { echo "replay.sh: no Kestrune at $exe (build it first)" >&2; exit 2; }
bash "$root/tools/install-missing.sh" nginx wrk python3

bench_work kestrune-replay "${TMPDIR:-/tmp}"
export XDG_CONFIG_HOME=$work/config # no stored upstream proxy

mkdir -p "$work/www"
head -c 1024 /dev/urandom > "$work/www/1k.bin"
start_nginx "$work/www" || die "the origin web server did not start"
port=$origin_port
start_headless "$exe" "$work/proxy.log" --quiet || exit 1
proxy=$kestrune_port
url="http://127.0.0.1:$port/1k.bin"

line=$(BENCH_URL=$url timeout $((seconds + 30)) wrk -t1 -c20 -d"${seconds}s" --timeout 5s \
  -s "$here/relay.lua" "http://127.0.0.1:$proxy" | grep '^BENCH')
wrk_rate=$(echo "$line" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
  printf "%.0f", v["requests"] / (v["duration_us"] / 1e6) }')

python3 - "$work/capture.har" "$url" "$requests" <<'PY'
import json, sys
path, url, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
authority = url.split("/")[2]
entry = {"startedDateTime": "2026-01-01T00:00:00.000Z",
         "request": {"method": "GET", "url": url, "httpVersion": "HTTP/1.1",
                     "headers": [{"name": "Host", "value": authority}]},
         "response": {"status": 200, "httpVersion": "HTTP/1.1", "headers": [], "content": {"size": 0}}}
json.dump({"log": {"version": "1.2", "entries": [entry] * n}}, open(path, "w"))
PY
start=$(date +%s.%N)
status=0
"$exe" --replay "$work/capture.har" --concurrency 20 > "$work/replay.out" 2> "$work/replay.err" || status=$?
end=$(date +%s.%N)
same=$(grep -c '"result":"same"' "$work/replay.out" || true)
[ "$status" = 0 ] && [ "$same" = "$requests" ] || {
  echo "replay.sh: the replay failed (exit $status, $same of $requests as recorded)" >&2
  head -3 "$work/replay.out" "$work/replay.err" >&2; exit 1; }
python3 - "$wrk_rate" "$requests" "$start" "$end" <<'PY'
import sys
wrk, n, start, end = float(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
replay = n / (end - start)
print(f"wrk through Kestrune (20 connections): {wrk:.0f} requests/s")
print(f"kestrune --replay of {n} GETs (--concurrency 20): {replay:.0f} requests/s, {end - start:.2f} s")
print(f"replay / wrk: {replay / wrk:.2f} (the aim: at least 0.50)")
PY
