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
dir=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$dir"; }
trap cleanup EXIT
cd "$dir" || exit 1
export HOME=$dir XDG_CONFIG_HOME=$dir/config
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0; sleep 0.1; done; return 1; }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Bench Root" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout origin.key -out origin.csr -subj "/CN=localhost" 2>/dev/null
printf "subjectAltName=DNS:localhost\n" > origin.ext
openssl x509 -req -in origin.csr -CA root.pem -CAkey root.key -CAcreateserial -out origin.pem -days 2 -extfile origin.ext 2>/dev/null
mkdir www && head -c $((64 << 20)) /dev/urandom > www/big
# The origin: openssl's own file server (HTTP/1.0, one response per connection).
(cd www && exec openssl s_server -accept 127.0.0.1:0 -cert ../origin.pem -key ../origin.key -WWW) > origin.log 2>&1 & pids+=($!)
for _ in $(seq 300); do grep -q ACCEPT origin.log && break; sleep 0.1; done
origin=$(grep ACCEPT origin.log | grep -o '[0-9]*$' | head -1)
[ -n "$origin" ] || { echo "the origin did not start: $(cat origin.log)"; exit 1; }

"$exe" --headless --export-ca kestrune-ca.pem > /dev/null 2>&1
"$exe" --headless --quiet --port 0 --decrypt-https --upstream-ca root.pem > /dev/null 2> kestrune.err & pids+=($!)
for _ in $(seq 300); do grep -q "listening on port" kestrune.err && break; sleep 0.1; done
kport=$(grep -o "listening on port [0-9]*" kestrune.err | grep -o "[0-9]*$")
[ -n "$kport" ] || { echo "Kestrune did not start: $(cat kestrune.err)"; exit 1; }
mitm() { # PORT [OPTIONS...]: a decrypting mitmdump sharing one root
    local port=$1; shift
    mitmdump -q --listen-host 127.0.0.1 --listen-port "$port" --set confdir="$dir/mitm" \
        --set ssl_verify_upstream_trusted_ca="$dir/root.pem" "$@" > /dev/null 2>&1 & pids+=($!)
}
mport=$(free_port)
mitm "$mport" --set stream_large_bodies=1m
for _ in $(seq 100); do [ -s mitm/mitmproxy-ca-cert.pem ] && break; sleep 0.1; done
bport=$(free_port)
mitm "$bport"
wait_port "$mport" && wait_port "$bport" || { echo "mitmdump did not start"; exit 1; }

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
