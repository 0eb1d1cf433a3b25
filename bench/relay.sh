#!/usr/bin/env bash
# Relay benchmark. Puts the same files, the same clients and the same loads through Kestrune and
# through other proxies (tinyproxy, squid without cache, mitmdump) and straight to the origin
# ("direct", the limit), all on loopback, in one run. Prints the figures and each figure's ratio
# to direct: the machine is shared and noisy, so the ratios are what count.
#
# Usage: bash bench/relay.sh [--quick] [--only NAME,NAME] [--kestrune PATH] [--markdown FILE]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

usage() {
  cat <<'EOF'
Usage: bash bench/relay.sh [options]
  --quick          2 repetitions and 3 s loads instead of 5 and 10 s (for trying things out)
  --only LIST      comma-separated proxies to run (kestrune,tinyproxy,squid,mitmdump);
                   direct always runs
  --kestrune PATH  the kestrune program to measure (default: build it into build-bench/)
  --markdown FILE  also write the result tables to FILE
  --session DIR    Kestrune records the run into a new session file in DIR (--session)
  --kestrune-args ARGS
                   more options for Kestrune, split at blanks (e.g. "--debug")
EOF
}

quick=0 only="" kestrune="" markdown="" session_dir="" kestrune_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --only) [ $# -ge 2 ] || die "--only needs a list"; only=$2; shift ;;
    --kestrune) [ $# -ge 2 ] || die "--kestrune needs a path"; kestrune=$2; shift ;;
    --markdown) [ $# -ge 2 ] || die "--markdown needs a file"; markdown=$2; shift ;;
    --session) [ $# -ge 2 ] || die "--session needs a folder"; session_dir=$2; shift ;;
    --kestrune-args) [ $# -ge 2 ] || die "--kestrune-args needs options"
                     read -r -a more <<<"$2"; kestrune_args+=("${more[@]}"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option: $1" ;;
  esac
  shift
done

reps=5 wrk_secs=10
if [ "$quick" = 1 ]; then reps=2 wrk_secs=3; fi
# The whole run must stay under 10 minutes: no measurement starts later than this many seconds
# after the first one (a transfer is cut at 30 s, a wrk load at its length + 30 s).
budget_secs=420

all_proxies=(kestrune tinyproxy squid mitmdump)
proxies=()
if [ -n "$only" ]; then
  IFS=, read -r -a wanted <<<"$only"
  for w in "${wanted[@]}"; do
    case " ${all_proxies[*]} " in
      *" $w "*) proxies+=("$w") ;;
      *) [ "$w" = direct ] || die "unknown proxy in --only: $w" ;;
    esac
  done
else
  proxies=("${all_proxies[@]}")
fi
if [ -n "$kestrune" ] && [ ! -x "$kestrune" ]; then
  die "not an executable program: $kestrune"
fi

# ---------------------------------------------------------------- packages
install_packages() {
  local packages=(nginx tinyproxy squid mitmproxy wrk curl python3 coreutils)
  if [ -z "$kestrune" ]; then
    packages+=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev)
  fi
  bash "$root/tools/install-missing.sh" "${packages[@]}"
}

install_packages
if [ -z "$kestrune" ] && [[ " ${proxies[*]} " == *" kestrune "* ]]; then
  if build_kestrune; then
    kestrune="$root/build-bench/src/kestrune"
  else
    log "kestrune did not build (full log: $root/build-bench.log); it is left out of this run"
  fi
fi

# ---------------------------------------------------------------- work area and clean-up
bench_work kestrune-bench
chmod 755 "$work" # squid drops to its own user and must reach its folder

declare -A PID=() PORT=() BROKEN=()

# start NAME PORT LOG COMMAND...: runs COMMAND in the background and waits until PORT accepts.
start() {
  local name=$1 port=$2 logfile=$3
  shift 3
  bench_spawn "$@" >"$logfile" 2>&1
  PID[$name]=$spawned
  PORT[$name]=$port
  wait_port "$port" "$spawned" 20 "$logfile" || { log "$name did not start"; return 1; }
}

# ---------------------------------------------------------------- results
results="$work/results.tsv"
: >"$results"
rec() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$results"; }
note() { rec "$1" note "$2"; log "$1: $2"; }

measure_start=$SECONDS
over_budget() { [ $((SECONDS - measure_start)) -ge "$budget_secs" ]; }

listen_overflows() { # the system's count of connections dropped for a full accept queue
  awk '$1 == "TcpExt:" { if (!n) { for (i = 2; i <= NF; i++) if ($i == "ListenOverflows") col = i; n = 1 }
                         else { print $col + 0; exit } }' /proc/net/netstat 2>/dev/null || echo 0
}

status_kb() { # a Vm* line of /proc/PID/status, in kB (nothing when the process is gone)
  awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status" 2>/dev/null || true
}

# ---------------------------------------------------------------- origin
www="$work/www"
mkdir -p "$www" "$work/dl"
head -c 1024 /dev/urandom >"$www/1k.bin"
head -c $((64 << 20)) /dev/urandom >"$www/64m.bin"
make_page "$www/2m.html"
declare -A SHA=()
for f in 1k.bin 64m.bin 2m.html; do
  SHA[$f]=$(sha256sum "$www/$f" | cut -d' ' -f1)
done

start_nginx "$www" "sendfile on; tcp_nopush on;" || die "the origin web server did not start"
origin="http://127.0.0.1:$origin_port"
log "origin nginx on port $origin_port"

# ---------------------------------------------------------------- contenders
start_kestrune() {
  local port=$1 dir="$work/kestrune"
  mkdir -p "$dir/config" "$dir/data"
  start kestrune "$port" "$dir/out.log" \
    env XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" QT_QPA_PLATFORM=offscreen \
    "$kestrune" --headless --quiet --port "$port" \
    ${session_dir:+--session "$(mktemp -u -p "$session_dir" bench-XXXXXX.kestrune)"} \
    ${kestrune_args[@]+"${kestrune_args[@]}"}
}

start_tinyproxy() {
  local port=$1 dir="$work/tinyproxy"
  mkdir -p "$dir"
  cat >"$dir/tinyproxy.conf" <<EOF
Port $port
Listen 127.0.0.1
Timeout 60
MaxClients 200
Allow 127.0.0.1
ConnectPort $origin_port
LogFile "$dir/tinyproxy.log"
LogLevel Error
PidFile "$dir/tinyproxy.pid"
EOF
  start tinyproxy "$port" "$dir/out.log" tinyproxy -d -c "$dir/tinyproxy.conf"
}

start_squid() {
  local port=$1 dir="$work/squid"
  mkdir -p "$dir"
  chmod 1777 "$dir"
  cat >"$dir/squid.conf" <<EOF
http_port 127.0.0.1:$port
acl bench_origin port $origin_port
http_access deny CONNECT !bench_origin
http_access allow localhost
http_access deny all
cache deny all
cache_mem 0 MB
access_log none
cache_store_log none
cache_log $dir/cache.log
pid_filename $dir/squid.pid
coredump_dir $dir
netdb_filename none
pinger_enable off
icp_port 0
htcp_port 0
shutdown_lifetime 1 seconds
visible_hostname relay-bench.invalid
EOF
  start squid "$port" "$dir/out.log" squid -N -f "$dir/squid.conf"
}

start_mitmdump() {
  local port=$1 dir="$work/mitmdump"
  mkdir -p "$dir"
  # Bodies over 1 MiB are streamed instead of held whole in memory before they go on.
  start mitmdump "$port" "$dir/out.log" \
    mitmdump -q --listen-host 127.0.0.1 --listen-port "$port" \
    --set confdir="$dir" --set stream_large_bodies=1m
}

contenders=(direct)
PORT[direct]=$origin_port
for p in "${proxies[@]}"; do
  if [ "$p" = kestrune ] && [ -z "$kestrune" ]; then
    BROKEN[kestrune]=1
    rec kestrune note "not built"
    contenders+=(kestrune)
    continue
  fi
  contenders+=("$p")
  if ! "start_$p" "$(free_port)"; then
    BROKEN[$p]=1
    rec "$p" note "did not start"
  fi
done

is_proxy() { [ "$1" != direct ] && [ -z "${BROKEN[$1]:-}" ]; }

# proxy_cpu CONTENDER: prints the proxy's CPU ticks so far; fails when the process is gone.
proxy_cpu() { process_alive "${PID[$1]}" && cpu_ticks "${PID[$1]}"; }

died() { # a proxy that is gone is left out from then on
  BROKEN[$1]=1
  note "$1" "the process died during $2"
}

# ---------------------------------------------------------------- clients
# fetch CONTENDER FILE [tunnel]: prints curl's total time in seconds, or the reason it failed.
fetch() {
  local c=$1 file=$2 tunnel=${3:-} out="$work/dl/$1" t sum
  local args=(-sS --fail --max-time 30 -o "$out" -w '%{time_total}')
  if [ "$c" = direct ]; then
    args+=(--noproxy '*')
  else
    args+=(-x "http://127.0.0.1:${PORT[$c]}")
    [ -n "$tunnel" ] && args+=(--proxytunnel)
  fi
  if ! t=$(curl "${args[@]}" "$origin/$file" 2>"$work/dl/$c.err"); then
    tr -s '\n' ' ' <"$work/dl/$c.err" | head -c 200 | sed 's/ *$//'
    echo
    rm -f "$out"
    return 1
  fi
  sum=$(sha256sum "$out" | cut -d' ' -f1)
  rm -f "$out"
  if [ "$sum" != "${SHA[$file]}" ]; then
    echo "sha256 mismatch"
    return 1
  fi
  echo "$t"
}

sleep 0.5 # let every contender settle before its idle size is taken
for c in "${contenders[@]}"; do
  is_proxy "$c" || continue
  rec "$c" rss_idle_kb "$(status_kb "${PID[$c]}" VmRSS)"
  if ! r=$(fetch "$c" 1k.bin); then
    BROKEN[$c]=1
    note "$c" "first request failed: $r"
  fi
done

# transfer_phase KEY FILE [tunnel]: REPS transfers per contender, taken in turns so that a noisy
# moment hits every contender alike; the proxy's CPU time is taken around each transfer. A
# contender whose transfer fails gets no more tries in this phase.
transfer_phase() {
  local key=$1 file=$2 tunnel=${3:-} r c t before after
  local -A failed=()
  log "phase $key: $file${tunnel:+ through CONNECT}, $reps each"
  for ((r = 1; r <= reps; r++)); do
    for c in "${contenders[@]}"; do
      [ -n "${BROKEN[$c]:-}" ] && continue
      [ -n "${failed[$c]:-}" ] && continue
      if over_budget; then
        note "$c" "$key: time budget spent after $((r - 1)) runs"
        failed[$c]=1
        continue
      fi
      if [ "$c" != direct ]; then
        before=$(proxy_cpu "$c") || { died "$c" "$key"; continue; }
      fi
      if ! t=$(fetch "$c" "$file" "$tunnel"); then
        rec "$c" "${key}_fail" 1
        failed[$c]=1
        note "$c" "$key run $r: $t (no more runs of $key)"
        continue
      fi
      rec "$c" "${key}_s" "$t"
      if [ "$c" != direct ]; then
        after=$(proxy_cpu "$c") || { died "$c" "$key"; continue; }
        rec "$c" "${key}_cpu_ticks" $((after - before))
      fi
    done
  done
}

# load_phase KEY CLOSE: wrk with 20 connections for WRK_SECS against every contender.
load_phase() {
  local key=$1 close=$2 c line before after target drops
  log "phase $key: wrk, 20 connections, ${wrk_secs} s each"
  for c in "${contenders[@]}"; do
    [ -n "${BROKEN[$c]:-}" ] && continue
    if over_budget; then
      note "$c" "$key: time budget spent"
      continue
    fi
    target="http://127.0.0.1:${PORT[$c]}"
    if [ "$c" != direct ]; then
      before=$(proxy_cpu "$c") || { died "$c" "$key"; continue; }
    fi
    drops=$(listen_overflows)
    line=$(BENCH_URL="$origin/1k.bin" BENCH_CLOSE=$close \
      timeout $((wrk_secs + 30)) wrk -t1 -c20 -d"${wrk_secs}s" --timeout 5s --latency \
        -s "$here/relay.lua" "$target" 2>&1 | grep '^BENCH ' || true)
    rec "$c" "${key}_listen_overflows" $(($(listen_overflows) - drops))
    if [ "$c" != direct ]; then
      after=$(proxy_cpu "$c") || { died "$c" "$key"; continue; }
      rec "$c" "${key}_cpu_ticks" $((after - before))
    fi
    if [ -z "$line" ]; then
      note "$c" "$key: wrk gave no result"
      continue
    fi
    rec "$c" "${key}_wrk" "${line#BENCH }"
  done
}

peak_rss() {
  local c
  for c in "${contenders[@]}"; do
    is_proxy "$c" && process_alive "${PID[$c]}" && rec "$c" "$1" "$(status_kb "${PID[$c]}" "$2")"
  done
  return 0
}

transfer_phase get 64m.bin
peak_rss rss_peak_get_kb VmHWM
transfer_phase tunnel 64m.bin tunnel
transfer_phase html 2m.html
load_phase newconn 1
load_phase keepalive 0
peak_rss rss_peak_kb VmHWM
peak_rss rss_end_kb VmRSS

for c in "${contenders[@]}"; do
  if is_proxy "$c" && ! process_alive "${PID[$c]}"; then
    note "$c" "the process died during the run"
  fi
done

log "done in ${SECONDS} s"
report_args=(--results "$results" --ticks "$(getconf CLK_TCK)" --reps "$reps" --wrk-secs "$wrk_secs")
[ -n "$markdown" ] && report_args+=(--markdown "$markdown")
python3 "$here/relay_report.py" "${report_args[@]}"
