#!/usr/bin/env bash
# Counts what one relayed 1 KiB request costs Kestrune in user-space instructions (valgrind's
# callgrind, which counts the same on a busy machine as on a quiet one; the kernel's share is
# not in it). Requests go one after another through one curl, on one keep-alive connection or
# with a new connection each; start-up, the warm-up requests and the shut-down are left out.
#
# With --session, Kestrune records a session file and each thread's count is told apart (the
# event loop's and the session writer's).
#
# Also counts the calls to malloc, calloc and realloc per request (operator new calls malloc).
#
# Usage: bash bench/request_instructions.sh --kestrune PATH [--requests N] [--close] [--session] [--keep DIR]
#   --keep DIR keeps callgrind's output in DIR (for callgrind_annotate)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

kestrune="" requests=300 close=0 session=() keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) [ $# -ge 2 ] || die "--kestrune needs a path"; kestrune=$2; shift ;;
    --requests) [[ "${2:-}" =~ ^[1-9][0-9]{0,4}$ ]] || die "--requests needs a number from 1 to 99999"; requests=$2; shift ;;
    --close) close=1 ;;
    --session) session=(--session) ;;
    --keep) [ $# -ge 2 ] || die "--keep needs a folder"; keep=$2; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done
[ -x "$kestrune" ] || die "give the program with --kestrune PATH"
bench_at_exit() { # the recorded profile, when asked to keep it
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp -f "$work"/callgrind.out* "$keep"/ 2>/dev/null; fi
}
bash "$root/tools/install-missing.sh" nginx curl valgrind python3

bench_work kestrune-instructions
mkdir -p "$work/www" "$work/config" "$work/data"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
start_nginx "$work/www" || die "the origin web server did not start"
proxy_port=$(free_port)

env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" valgrind --tool=callgrind \
  --instr-atstart=no --callgrind-out-file="$work/callgrind.out" \
  ${session:+--separate-threads=yes} \
  "$kestrune" --headless --quiet --port "$proxy_port" ${session:+"${session[@]}" "$work/s.kestrune"} \
  >"$work/kestrune.log" 2>&1 &
kestrune_pid=$!
bench_pids+=("$kestrune_pid")
wait_port "$proxy_port" "$kestrune_pid" 60 "$work/kestrune.log" || die "kestrune did not start"

url="http://127.0.0.1:$origin_port/1k.bin"
curl_args=(-sS --fail -o /dev/null -x "http://127.0.0.1:$proxy_port")
[ "$close" = 1 ] && curl_args+=(-H "Connection: close")
curl "${curl_args[@]}" "$url?[1-20]" || die "the warm-up requests failed"

callgrind_control -i on "$kestrune_pid" >/dev/null 2>&1
curl "${curl_args[@]}" "$url?[1-$requests]" || die "the measured requests failed"
if [ -n "${session[*]}" ]; then
  # The writer commits what came within a second: counted until the last request is in the
  # file and the process then spent no CPU for half a second (at most 30 s).
  want=$((requests + 20))
  for ((i = 0; i < 60; i++)); do
    have=$(python3 -c 'import sqlite3, sys; print(sqlite3.connect(sys.argv[1]).execute("SELECT count(*) FROM exchange_rows").fetchone()[0])' "$work/s.kestrune" 2>/dev/null || echo 0)
    [ "${have:-0}" -ge "$want" ] && break
    sleep 0.5
  done
  ticks() { cat /proc/"$kestrune_pid"/task/*/stat 2>/dev/null | awk '{ sub(/^.*\) /, ""); s += $12 + $13 } END { print s }'; }
  for ((i = 0, before = -1; i < 60; i++)); do
    now=$(ticks); [ "$now" = "$before" ] && break
    before=$now; sleep 0.5
  done
fi
callgrind_control -i off "$kestrune_pid" >/dev/null 2>&1
kill "$kestrune_pid"
wait "$kestrune_pid" 2>/dev/null || true
for out in "$work"/callgrind.out-[0-9]*; do
  [ -f "$out" ] || continue
  awk -v f="${out##*-}" -v n="$requests" '/^totals:/ { printf "thread %s: %.0f instructions per request\n", f, $2 / n; exit }' "$out"
done
instructions=$(cat "$work"/callgrind.out* | awk '/^totals:/ { s += $2 } END { if (s) print s }')
[ -n "$instructions" ] || die "callgrind wrote no totals"
mode=keep-alive
[ "$close" = 1 ] && mode="new connection"
# Calls are listed under their caller as "cfn=(id)" then "calls=N ..."; a function's name comes
# with its id the first time the id appears, in an "fn=" or a "cfn=" line.
allocations=$(python3 -c '
import re, sys
names, total, callee = {}, 0, None
for path in sys.argv[1:]:
  names = {}
  for line in open(path, errors="replace"):
    m = re.match(r"(c?)fn=\((\d+)\)(?: (.*))?", line)
    if m:
        if m.group(3):
            names[m.group(2)] = m.group(3).strip()
        callee = names.get(m.group(2), "") if m.group(1) else None
    elif line.startswith("calls=") and callee in ("malloc", "calloc", "realloc"):
        total += int(line[6:].split()[0])
print(total)' "$work"/callgrind.out*)
python3 -c 'import sys; print(f"{sys.argv[3]}: {int(sys.argv[1]) / int(sys.argv[2]):,.0f} instructions and {int(sys.argv[4]) / int(sys.argv[2]):.1f} allocations per request over {sys.argv[2]} requests")' \
  "$instructions" "$requests" "$mode" "$allocations"
