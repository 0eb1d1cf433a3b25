#!/bin/bash
# A 64 MiB HTTPS download from a loopback TLS origin: straight, through a decrypting Kestrune
# and through a decrypting mitmdump (Debian's mitmproxy), in the same run, the contenders taking
# turns so that a noisy moment hits them alike. mitmdump really decrypts (curl trusts only its
# root) and streams bodies over 1 MiB, as Kestrune does; with --buffered also as it comes
# ("mitmdump-buffered"), holding the whole body before sending it on (slow: a minute a run).
# Prints every run's MB/s, the medians and the ratios.
# Usage: bench/https_decrypt.sh [--runs N] [--buffered] [KESTRUNE]
set -u
runs=5
[ "${1:-}" = --runs ] && { runs=$2; shift 2; }
buffered=0
[ "${1:-}" = --buffered ] && { buffered=1; shift; }
exe=${1:-$(dirname "$0")/../build/src/kestrune}
exe=$(realpath "$exe")
command -v mitmdump > /dev/null || sudo apt-get install -y mitmproxy > /dev/null
. "$(dirname "$0")/lib.sh"
bench_work kestrune-https "${TMPDIR:-/tmp}"
dir=$work
cd "$dir" || exit 1
export HOME=$dir XDG_CONFIG_HOME=$dir/config

mkdir www && head -c $((64 << 20)) /dev/urandom > www/big
start_tls_origin "DNS:localhost" || exit 1

"$exe" --headless --export-ca kestrune-ca.pem > /dev/null 2>&1
start_headless "$exe" kestrune.err --quiet --decrypt-https --upstream-ca root.pem || exit 1
kport=$kestrune_port
mitm() { # PORT [OPTIONS...]: a decrypting mitmdump sharing one root
    local port=$1; shift
    mitmdump -q --listen-host 127.0.0.1 --listen-port "$port" --set confdir="$dir/mitm" \
        --set ssl_verify_upstream_trusted_ca="$dir/root.pem" "$@" > /dev/null 2>&1 & bench_pids+=($!)
}
mport=$(free_port)
mitm "$mport" --set stream_large_bodies=1m
for _ in $(seq 100); do [ -s mitm/mitmproxy-ca-cert.pem ] && break; sleep 0.1; done
bport=$(free_port)
mitm "$bport"
wait_port "$mport" "" 30 && wait_port "$bport" "" 30 || { echo "mitmdump did not start"; exit 1; }

url="https://localhost:$origin/big"
declare -A args=([direct]="--cacert root.pem"
                 [kestrune]="-x http://127.0.0.1:$kport --cacert kestrune-ca.pem"
                 [mitmdump]="-x http://127.0.0.1:$mport --cacert mitm/mitmproxy-ca-cert.pem"
                 [mitmdump-buffered]="-x http://127.0.0.1:$bport --cacert mitm/mitmproxy-ca-cert.pem")
names=(direct kestrune mitmdump)
[ "$buffered" = 1 ] && names+=(mitmdump-buffered)
for _ in $(seq "$runs"); do
    for name in "${names[@]}"; do
        # shellcheck disable=SC2086 # the arguments are words
        speed=$(curl -s ${args[$name]} "$url" -o got -w '%{speed_download}') && cmp -s got www/big || speed=0
        echo "$speed" >> "speed.$name"
    done
done
python3 - "${names[@]}" <<'PY'
import statistics, sys
speeds = {name: [float(x) / 1e6 for x in open("speed." + name)] for name in sys.argv[1:]}
med = {name: statistics.median(s) for name, s in speeds.items()}
print("64 MiB HTTPS download, %d runs in turns (loopback, shared machine), MB/s:" % len(speeds["direct"]))
for name, s in speeds.items():
    print("  %-18s median %6.1f   runs %s" % (name, med[name], " ".join("%.0f" % x for x in s)))
k, d = med["kestrune"], max(med["direct"], 0.1)
print("Kestrune / direct = %.2f (target >= 0.3)" % (k / d))
for name in [n for n in med if n.startswith("mitmdump")]:
    m = max(med[name], 0.1)
    print("Kestrune / %s = %.1f (target >= 20); the most any proxy could reach, direct / %s = %.1f"
          % (name, k / m, name, d / m))
PY
