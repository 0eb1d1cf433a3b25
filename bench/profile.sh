#!/usr/bin/env bash
# Profiles Kestrune while it relays 64 MiB GETs from a loopback nginx, and prints the symbols
# where its time goes. Uses perf with hardware counters when the machine has them, perf's
# cpu-clock sampling when it has not, and valgrind's callgrind (on a smaller transfer) when perf
# cannot record at all or --callgrind is given.
#
# Usage: bash bench/profile.sh [--kestrune PATH] [--runs N] [--tunnel] [--callgrind] [--top N]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

usage() {
  cat <<'EOF'
Usage: bash bench/profile.sh [options]
  --kestrune PATH  the kestrune program to profile (default: build it into build-bench/)
  --runs N         number of transfers while recording (default 5)
  --tunnel         relay through a CONNECT tunnel instead of plain GETs
  --callgrind      use valgrind's callgrind even when perf works
  --top N          number of symbols to print (default 30)
  --keep DIR       keep the recorded profile in DIR
  --kestrune-args ARGS
                   more options for Kestrune, split at blanks (e.g. "--session /tmp/p.kestrune")
EOF
}

kestrune="" runs=5 tunnel="" force_callgrind=0 top=30 keep="" kestrune_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --kestrune) [ $# -ge 2 ] || die "--kestrune needs a path"; kestrune=$2; shift ;;
    --runs) [[ "${2:-}" =~ ^[1-9][0-9]?$ ]] || die "--runs needs a number from 1 to 99"; runs=$2; shift ;;
    --tunnel) tunnel=1 ;;
    --callgrind) force_callgrind=1 ;;
    --top) [[ "${2:-}" =~ ^[1-9][0-9]{0,2}$ ]] || die "--top needs a number from 1 to 999"; top=$2; shift ;;
    --keep) [ $# -ge 2 ] || die "--keep needs a folder"; keep=$2; shift ;;
    --kestrune-args) [ $# -ge 2 ] || die "--kestrune-args needs options"
                     read -r -a more <<<"$2"; kestrune_args+=("${more[@]}"); shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; die "unknown option: $1" ;;
  esac
  shift
done
[ -z "$kestrune" ] || [ -x "$kestrune" ] || die "not an executable program: $kestrune"

# ---------------------------------------------------------------- packages and build
packages=(nginx curl linux-perf valgrind python3)
[ -n "$kestrune" ] || packages+=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev)
bash "$root/tools/install-missing.sh" "${packages[@]}"

if [ -z "$kestrune" ]; then
  build_kestrune || die "kestrune did not build (full log: $root/build-bench.log)"
  kestrune="$root/build-bench/src/kestrune"
fi

# ---------------------------------------------------------------- which profiler
tool=callgrind
event=""
if [ "$force_callgrind" = 0 ] && command -v perf >/dev/null; then
  if perf stat -e instructions true 2>&1 | grep -Eq '^ *[0-9][0-9,]* +instructions'; then
    tool=perf event=cycles
  elif perf record -q -e cpu-clock -o /dev/null -- true >/dev/null 2>&1; then
    tool=perf event=cpu-clock
    log "no hardware counters here: perf samples the cpu-clock timer instead"
  else
    log "perf cannot record here: using callgrind"
  fi
fi
size=$((64 << 20))
if [ "$tool" = callgrind ]; then
  size=$((4 << 20)) # callgrind runs the program some 50 times slower
  runs=1
fi

# ---------------------------------------------------------------- processes and clean-up
bench_at_exit() { # the recorded profile, when asked to keep it
  if [ -n "$keep" ]; then
    mkdir -p "$keep" && cp -f "$work"/perf.data "$work"/callgrind.out "$keep"/ 2>/dev/null || true
  fi
}
bench_work kestrune-profile

mkdir -p "$work/www" "$work/kestrune/config" "$work/kestrune/data"
head -c "$size" /dev/urandom >"$work/www/big.bin"
start_nginx "$work/www" "sendfile on;" || die "the origin web server did not start"

proxy_port=$(free_port)
prefix=()
if [ "$tool" = callgrind ]; then
  # Start-up (mostly the dynamic linker) is left out: counting starts after the first transfer.
  prefix=(valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$work/callgrind.out")
fi
env XDG_CONFIG_HOME="$work/kestrune/config" XDG_DATA_HOME="$work/kestrune/data" \
  QT_QPA_PLATFORM=offscreen \
  "${prefix[@]}" "$kestrune" --headless --quiet --port "$proxy_port" \
    ${kestrune_args[@]+"${kestrune_args[@]}"} >"$work/kestrune/out.log" 2>&1 &
kestrune_pid=$!
bench_pids+=("$kestrune_pid")
wait_port "$proxy_port" "$kestrune_pid" 60 "$work/kestrune/out.log" || die "kestrune did not start"

curl_args=(-sS --fail --max-time 120 -o /dev/null -w '%{time_total}' -x "http://127.0.0.1:$proxy_port")
[ -n "$tunnel" ] && curl_args+=(--proxytunnel)
url="http://127.0.0.1:$origin_port/big.bin"
curl "${curl_args[@]}" "$url" >/dev/null || die "a first transfer through kestrune failed"

if [ "$tool" = callgrind ]; then
  callgrind_control -i on "$kestrune_pid" >/dev/null || die "callgrind_control could not reach kestrune"
else
  perf record -q -e "$event" -F 2000 -p "$kestrune_pid" -o "$work/perf.data" >"$work/perf.log" 2>&1 &
  perf_pid=$!
  bench_pids+=("$perf_pid")
  sleep 0.3 # perf attaches to the running process
fi

log "$runs transfer(s) of $((size >> 20)) MiB through kestrune${tunnel:+ (CONNECT)} under $tool"
for ((r = 1; r <= runs; r++)); do
  t=$(curl "${curl_args[@]}" "$url") || die "transfer $r failed"
  python3 -c "import sys; print(f'  run {sys.argv[1]}: {int(sys.argv[2]) / 1e6 / float(sys.argv[3]):.0f} MB/s')" \
    "$r" "$size" "$t" >&2
done

if [ "$tool" = perf ]; then
  stop_process "$perf_pid" 100 # perf writes its data on TERM
  echo "Time of kestrune by object ($event samples):"
  perf report -i "$work/perf.data" --stdio --no-children --sort dso 2>/dev/null |
    grep -v '^#' | grep -v '^$' | sed -E 's/ +- +- *$//' | head -n 8
  echo
  echo "Top symbols of kestrune ($event samples, self time):"
  perf report -i "$work/perf.data" --stdio --no-children --sort dso,symbol 2>/dev/null |
    grep -v '^#' | grep -v '^$' | sed -E 's/ +- +- *$//' | head -n "$top"
else
  stop_process "$kestrune_pid" 300 # callgrind writes its output when the program exits
  echo "Top functions of kestrune (callgrind, instructions, self):"
  [ -s "$work/callgrind.out" ] || die "callgrind wrote no profile"
  callgrind_annotate --inclusive=no "$work/callgrind.out" 2>/dev/null |
    awk '/PROGRAM TOTALS/ { print; next }
         /file:function/ { table = 1; getline; next }
         table && /^$/ { exit }
         table { print }' | head -n "$((top + 1))"
fi
