#!/usr/bin/env bash
# Counts what one relayed 1 KiB request on a new connection costs in figures that a busy machine
# does not change: Kestrune's system calls by name (strace) and the TCP segments and TIME_WAIT
# sockets of the whole exchange (browser to proxy, proxy to origin). Everything runs in a network
# namespace of its own, so the system's counters see this run's connections alone. Requests go
# one after another through one curl, each with "Connection: close"; the warm-up is left out.
#
# Usage: bash bench/connection_calls.sh --kestrune PATH [--requests N]   (as root)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

kestrune="" requests=200
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) [ $# -ge 2 ] || die "--kestrune needs a path"; kestrune=$2; shift ;;
    --requests) [[ "${2:-}" =~ ^[1-9][0-9]{0,3}$ ]] || die "--requests needs a number from 1 to 9999"; requests=$2; shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) die "unknown option: $1" ;;
  esac
  shift
done
[ -x "$kestrune" ] || die "give the program with --kestrune PATH"
kestrune=$(readlink -f "$kestrune")
if [ -z "${KESTRUNE_BENCH_NETNS:-}" ]; then
  [ "$(id -u)" = 0 ] || die "needs root for a network namespace of its own"
  bash "$root/tools/install-missing.sh" nginx curl strace iproute2 util-linux python3
  exec env KESTRUNE_BENCH_NETNS=1 unshare --net bash "$0" --kestrune "$kestrune" --requests "$requests"
fi
ip link set lo up

bench_work kestrune-calls
mkdir -p "$work/www" "$work/config" "$work/data"
head -c 1024 /dev/urandom >"$work/www/1k.bin"
start_nginx "$work/www" || die "the origin web server did not start"
proxy_port=$(free_port)
bench_spawn env XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" \
  "$kestrune" --headless --quiet --port "$proxy_port" >"$work/kestrune.log" 2>&1
kestrune_pid=$spawned
wait_port "$proxy_port" "$kestrune_pid" 60 "$work/kestrune.log" || die "kestrune did not start"

url="http://127.0.0.1:$origin_port/1k.bin"
curl_args=(-sS --fail -o /dev/null -x "http://127.0.0.1:$proxy_port" -H "Connection: close")
curl "${curl_args[@]}" "$url?[1-20]" || die "the warm-up requests failed"

# Wake-ups (context switches) are counted in a run of their own: a tracer stops the process at
# every call.
switches() { awk '/ctxt_switches:/ { n += $2 } END { print n }' "/proc/$kestrune_pid/status"; }
switches_before=$(switches)
curl "${curl_args[@]}" "$url?[1-$requests]" || die "the untraced requests failed"
wake_ups=$(($(switches) - switches_before))

strace -c -f -p "$kestrune_pid" -o "$work/strace.txt" 2>/dev/null &
strace_pid=$!
# strace is attached once the process shows a tracer.
for ((i = 0; i < 100; i++)); do
  [ "$(awk '/^TracerPid:/ { print $2 }' "/proc/$kestrune_pid/status")" != 0 ] && break
  sleep 0.1
done
# TIME_WAIT left on the proxy's side: its browser ends (local port the proxy's) and its origin ends
# (remote port the origin's); the others are curl's and nginx's.
proxy_time_waits() {
  ss -Htan state time-wait | awk -v p=":$proxy_port" -v o=":$origin_port" \
    'substr($(NF-1), length($(NF-1)) - length(p) + 1) == p || substr($NF, length($NF) - length(o) + 1) == o' | wc -l
}
time_waits_before=$(proxy_time_waits)
nstat -n >/dev/null
curl "${curl_args[@]}" "$url?[1-$requests]" || die "the measured requests failed"
nstat -z >"$work/nstat.txt"
proxy_time_wait=$(($(proxy_time_waits) - time_waits_before))
kill -INT "$strace_pid"
wait "$strace_pid" 2>/dev/null || true

echo "per new-connection request, over $requests requests:"
awk -v n="$requests" -v w="$wake_ups" 'BEGIN { printf "  %-22s %6.2f\n", "wake-ups (untraced)", w / n }'
awk -v n="$requests" '$4 ~ /^[0-9]+$/ { printf "  %-22s %6.2f\n", ($NF == "total" ? "system calls" : $NF), $4 / n }' \
  "$work/strace.txt"
awk -v n="$requests" -v mine="$proxy_time_wait" '{ v[$1] = $2 }
  END { printf "  %-22s %6.2f\n  %-22s %6.2f\n  %-22s %6.2f\n  %-22s %6.2f\n  %-22s %6.2f\n",
               "TCP segments", v["TcpOutSegs"] / n, "of them pure ACKs", v["TcpExtTCPPureAcks"] / n,
               "resets", v["TcpOutRsts"] / n, "TIME_WAIT sockets", v["TcpExtTW"] / n,
               "of them the proxy'"'"'s", mine / n }' "$work/nstat.txt"
