#!/bin/bash
# What a decrypting Kestrune adds to a new HTTPS connection, at socket level: many fresh curl
# processes (no session reuse) fetch a small file from a loopback TLS origin, in turns:
#   direct  - straight to the origin;
#   cached  - through Kestrune, a name whose certificate Kestrune has made already;
#   minted  - through Kestrune, a new name each time (SNI n<i>.bench.test, CONNECT to localhost
#             with --connect-to, so no name is ever looked up), so Kestrune makes a certificate.
# Prints the medians of curl's time_appconnect (the browser's TLS handshake is done) and
# time_starttransfer (the first response byte: this also holds Kestrune's own TCP connect and
# TLS handshake with the origin), and what Kestrune adds to each; also the CPU time Kestrune
# spent per fetch (from /proc/PID/schedstat), which a loaded machine does not inflate.
# Usage: bench/https_handshake.sh [--runs N] [KESTRUNE]
set -u
runs=200
[ "${1:-}" = --runs ] && { runs=$2; shift 2; }
exe=$(realpath "${1:-$(dirname "$0")/../build/src/kestrune}")
. "$(dirname "$0")/lib.sh"
bench_work kestrune-https "${TMPDIR:-/tmp}"
dir=$work
cd "$dir" || exit 1
export HOME=$dir XDG_CONFIG_HOME=$dir/config

mkdir www && printf 'small\n' > www/small
start_tls_origin "DNS:localhost,DNS:*.bench.test" || exit 1
"$exe" --headless --export-ca kestrune-ca.pem > /dev/null 2>&1
start_headless "$exe" kestrune.err --quiet --decrypt-https --upstream-ca root.pem || exit 1
kport=$kestrune_port

proxy=(-x "http://127.0.0.1:$kport" --cacert kestrune-ca.pem)
kpid=$kestrune_pid
oncpu() { cut -d' ' -f1 "/proc/$kpid/schedstat"; } # ns Kestrune has run, exact
timing() { # FILE CURL-ARGS...: one fetch, its two times and Kestrune's CPU time, or nothing when it failed
    local file=$1 got before; shift
    before=$(oncpu)
    got=$(curl -s -o body -w '%{time_appconnect} %{time_starttransfer}' "$@") && [ "$(cat body)" = small ] \
        && echo "$got $((($(oncpu) - before) / 1000))e-6" >> "$file"
}
timing /dev/null "${proxy[@]}" "https://localhost:$origin/small" # the cached name's certificate
for i in $(seq "$runs"); do
    timing direct --cacert root.pem "https://localhost:$origin/small"
    timing cached "${proxy[@]}" "https://localhost:$origin/small"
    timing minted "${proxy[@]}" --connect-to "n$i.bench.test:$origin:localhost:$origin" "https://n$i.bench.test:$origin/small"
done
python3 - "$runs" <<'PY'
import statistics, sys
def load(name):
    try:
        rows = [tuple(float(x) * 1000 for x in line.split()) for line in open(name)]
    except FileNotFoundError:
        rows = []
    return rows
runs = int(sys.argv[1])
rows = {name: load(name) for name in ("direct", "cached", "minted")}
if not all(rows.values()):
    sys.exit("a contender failed every fetch: " + ", ".join(n for n, r in rows.items() if not r))
med = {name: [statistics.median(r[k] for r in rs) for k in (0, 1, 2)] for name, rs in rows.items()}
print("New HTTPS connections, %d runs each in turns (loopback, shared machine), medians in ms:" % runs)
print("%-8s %6s %13s %13s %16s" % ("", "fetches", "TLS done", "first byte", "Kestrune's CPU"))
for name in ("direct", "cached", "minted"):
    print("%-8s %6d %13.2f %13.2f %16.2f" % (name, len(rows[name]), *med[name]))
for name, target in (("cached", 2), ("minted", 5)):
    print("Kestrune adds (%s certificate): %.2f ms to the handshake, %.2f ms to the first byte; target <= %d ms"
          % (name, med[name][0] - med["direct"][0], med[name][1] - med["direct"][1], target))
PY
