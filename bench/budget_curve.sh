#!/usr/bin/env bash
# The memory of a long headless capture with --session under a memory budget. A day at 200
# requests/s (17.3 million requests against the default 1 GiB) is simulated by a shorter, faster
# run against a smaller budget: wrk sends as fast as the relay goes through Kestrune to a
# loopback nginx, half on keep-alive connections and half on a new connection per request, while
# Kestrune records everything into a session file. The resident memory is sampled every second
# into a CSV (build/budget_curve/ unless --out says); the curve's summary is printed (and drawn into a PNG when gnuplot is installed).
#
# Usage: bash bench/budget_curve.sh [--seconds N] [--budget SIZE] [--kestrune PATH] [--out DIR]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
seconds=300 budget=64M kestrune="$root/build/src/kestrune" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --budget) budget=$2; shift ;;
    --kestrune) kestrune=$2; shift ;;
    --out) out=$2; shift ;;
    *) echo "usage: bash bench/budget_curve.sh [--seconds N] [--budget SIZE] [--kestrune PATH] [--out DIR]" >&2
       exit 2 ;;
  esac
  shift
done
[ -x "$kestrune" ] || { echo "budget_curve.sh: not an executable program: $kestrune" >&2; exit 2; }
for tool in nginx wrk python3; do
  command -v "$tool" >/dev/null || { echo "budget_curve.sh: $tool is needed" >&2; exit 2; }
done

bench_work kestrune-budget "${TMPDIR:-/tmp}" # the session file may grow large: not in memory
out=${out:-$root/build/budget_curve}
mkdir -p "$out"

# Origin: an 8 KB page, as a typical small document.
mkdir -p "$work/www"
python3 -c '
import sys
line = b"<p>The quick brown fox jumps over the lazy dog; 0123456789 &amp; more text.</p>\n"
sys.stdout.buffer.write((line * (8192 // len(line) + 1))[:8192])' >"$work/www/page.html"
start_nginx "$work/www" || die "nginx did not start"

port=$(free_port)
mkdir -p "$work/config"
XDG_CONFIG_HOME="$work/config" "$kestrune" --headless --quiet --port "$port" \
  --session "$work/run.kestrune" --memory-budget "$budget" 2>"$work/kestrune.err" &
kpid=$!
bench_pids+=("$kpid")
wait_port "$port" "$kpid" 10 "$work/kestrune.err" || exit 1

csv="$out/budget_curve.csv"
echo "second,rss_kib" >"$csv"
url="http://127.0.0.1:$origin_port/page.html"
BENCH_URL=$url wrk -t1 -c4 -d"${seconds}s" -s "$root/bench/relay.lua" "http://127.0.0.1:$port" \
  >"$work/keepalive.out" 2>&1 &
wrk1=$!
BENCH_URL=$url BENCH_CLOSE=1 wrk -t1 -c4 -d"${seconds}s" -s "$root/bench/relay.lua" \
  "http://127.0.0.1:$port" >"$work/close.out" 2>&1 &
wrk2=$!
bench_pids+=("$wrk1" "$wrk2")
# One sample a second for the run and a few seconds after it (bounded by the run's length).
for s in $(seq 0 $((seconds + 5))); do
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$kpid/status" 2>/dev/null || true)
  [ -n "$rss" ] || break
  echo "$s,$rss" >>"$csv"
  sleep 1
done
wait "$wrk1" "$wrk2" || true
requests=$(sed -n 's/^BENCH requests=\([0-9]*\).*/\1/p' "$work/keepalive.out" "$work/close.out" |
  awk '{ n += $1 } END { print n + 0 }')
kill -INT "$kpid" 2>/dev/null || true
wait "$kpid" 2>/dev/null || true
session_mb=$(du -m "$work/run.kestrune" | cut -f1)

python3 - "$csv" "$budget" "$requests" "$seconds" "$session_mb" <<'PY'
import csv, sys
path, budget, requests, seconds, session_mb = sys.argv[1:6]
import re
number, unit = re.fullmatch(r"(\d+)\s*([kmg]?)(?:i?b)?", budget.strip().lower()).groups()
limit = int(number) << {"": 0, "k": 10, "m": 20, "g": 30}[unit]
rows = [(int(r["second"]), int(r["rss_kib"])) for r in csv.DictReader(open(path))]
rss = [kib / 1024 for _, kib in rows]
rate = int(requests) / int(seconds)
print(f"{int(requests):,} requests in {seconds} s ({rate:,.0f}/s; a day at 200/s is 17,280,000)")
print(f"session file: {session_mb} MB")
print(f"resident memory, MiB: start {rss[0]:.1f}, min {min(rss):.1f}, "
      f"median {sorted(rss)[len(rss) // 2]:.1f}, max {max(rss):.1f}, end {rss[-1]:.1f}")
tenth = max(1, len(rss) // 10)
print("curve (each tenth of the run, max MiB): "
      + " ".join(f"{max(rss[i:i + tenth]):.0f}" for i in range(0, len(rss), tenth)))
verdict = "under" if max(rss) * (1 << 20) < limit else "OVER"
print(f"budget {limit / (1 << 20):.0f} MiB: the whole run stayed {verdict} it")
print(f"samples: {path}")
PY
if command -v gnuplot >/dev/null; then
  gnuplot -e "set terminal png size 800,400; set output '$out/budget_curve.png';
    set datafile separator ','; set xlabel 'seconds'; set ylabel 'RSS (MiB)'; set key off;
    plot '$csv' every ::1 using 1:(\$2/1024) with lines" && echo "plot: $out/budget_curve.png"
fi
