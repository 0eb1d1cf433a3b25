#!/bin/bash
# A 64 MiB HTTPS download from a loopback TLS origin: straight, through a decrypting Kestrune
# and through a decrypting mitmdump (Debian's mitmproxy), in the same run. Prints MB/s per
# contender (best of --runs) and the ratios. Usage: bench/https_decrypt.sh [--runs N] [KESTRUNE]
set -u
runs=3
[ "${1:-}" = --runs ] && { runs=$2; shift 2; }
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
origin=$(free_port)
(cd www && exec openssl s_server -quiet -accept "$origin" -cert ../origin.pem -key ../origin.key -WWW) > /dev/null 2>&1 & pids+=($!)
wait_port "$origin" || { echo "origin did not start"; exit 1; }

"$exe" --headless --export-ca kestrune-ca.pem > /dev/null 2>&1
kport=$(free_port)
"$exe" --headless --port "$kport" --decrypt-https --upstream-ca root.pem > /dev/null 2> kestrune.err & pids+=($!)
mport=$(free_port)
mitmdump -q --listen-host 127.0.0.1 --listen-port "$mport" --set confdir="$dir/mitm" \
    --set stream_large_bodies=1m --set ssl_verify_upstream_trusted_ca="$dir/root.pem" > /dev/null 2>&1 & pids+=($!)
wait_port "$kport" && wait_port "$mport" || { echo "a proxy did not start"; exit 1; }
for _ in $(seq 100); do [ -s mitm/mitmproxy-ca-cert.pem ] && break; sleep 0.1; done

url="https://localhost:$origin/big"
best() { # NAME CURL-ARGS...: the best MB/s of the runs, checking the bytes
    local name=$1 top=0 speed; shift
    for _ in $(seq "$runs"); do
        speed=$(curl -s "$@" "$url" -o got -w '%{speed_download}') || speed=0
        cmp -s got www/big || speed=0
        speed=$(python3 -c "print(round($speed / 1e6, 1))")
        top=$(python3 -c "print(max($top, $speed))")
    done
    echo "$name $top"
}
direct=$(best direct --cacert root.pem | cut -d' ' -f2)
kestrune=$(best kestrune -x "http://127.0.0.1:$kport" --cacert kestrune-ca.pem | cut -d' ' -f2)
mitm=$(best mitmdump -x "http://127.0.0.1:$mport" --cacert mitm/mitmproxy-ca-cert.pem | cut -d' ' -f2)
echo "64 MiB HTTPS download, best of $runs, MB/s: direct $direct, Kestrune decrypting $kestrune, mitmdump decrypting $mitm"
python3 -c "print('Kestrune / direct = %.2f, Kestrune / mitmdump = %.1f' % ($kestrune / max($direct, 0.1), $kestrune / max($mitm, 0.1)))"
