#!/bin/bash
# Real curl through a decrypting Kestrune to TLS origins made here with a test root, on loopback.
# Usage: https-decryption.sh KESTRUNE
set -u
exe=$1
dir=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$dir"; }
trap cleanup EXIT
cd "$dir" || exit 1
export HOME=$dir XDG_CONFIG_HOME=$dir/config
failed=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi; }
key() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" 2>/dev/null; }
# issue NAME SAN DAYS [self]: a leaf signed by the test root (or by itself)
issue() {
    key "$1"; printf "subjectAltName=%s\n" "$2" > "$1.ext"
    if [ "${4:-}" = self ]; then
        openssl x509 -req -in "$1.csr" -signkey "$1.key" -out "$1.pem" -days "$3" -extfile "$1.ext" 2>/dev/null
    else
        openssl x509 -req -in "$1.csr" -CA root.pem -CAkey root.key -CAcreateserial -out "$1.pem" -days "$3" -extfile "$1.ext" 2>/dev/null
    fi
}
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Test Root" 2>/dev/null
issue good "DNS:localhost,IP:127.0.0.1" 2
issue wrong "DNS:other.invalid" 2
issue expired "DNS:localhost" 0
issue untrusted "DNS:localhost" 2 self
# The expired leaf ends this second: wait until it has.
for _ in $(seq 30); do openssl x509 -checkend 0 -noout -in expired.pem > /dev/null || break; sleep 0.1; done
mkdir www && head -c 3000000 /dev/urandom > www/big && printf 'small\n' > www/small
head -c 8000000 /dev/urandom > www/large
cat > origin.py <<'PY'
import http.server, ssl, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *a: Handler(*a, directory="www"))
if sys.argv[1] != "plain":
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1] + ".pem", sys.argv[1] + ".key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
declare -A port
for name in good good2 wrong expired untrusted plain; do
    python3 origin.py "${name%2}" > "$name.port" & pids+=($!)
done
# openssl's file server ends each response with close_notify and waits for ours.
(cd www && exec openssl s_server -accept 127.0.0.1:0 -cert ../good.pem -key ../good.key -WWW) > ends.log 2>&1 &
pids+=($!)
for name in good good2 wrong expired untrusted plain; do
    for _ in $(seq 100); do [ -s "$name.port" ] && break; sleep 0.1; done
    port[$name]=$(cat "$name.port")
done
"$exe" --headless --export-ca ca.pem > /dev/null 2>&1
"$exe" --headless --port 0 --decrypt-https --upstream-ca root.pem --pass-hosts 127.0.0.1 --har run.har \
    > records 2> errors & decrypting=$!; pids+=($!)
for _ in $(seq 100); do grep -q "listening on port" errors && break; sleep 0.1; done
proxy=http://127.0.0.1:$(grep -o "listening on port [0-9]*" errors | grep -o "[0-9]*$")
fetch() { timeout 60 curl -s -x "$proxy" "$@"; }
g=https://localhost:${port[good]}

# Decrypted: byte-exact bodies on one kept-alive connection, and a second host.
fetch --cacert ca.pem "$g/big" -o big.1 "$g/small" -o small.1 "https://localhost:${port[good2]}/big" -o big.2
for _ in $(seq 100); do grep -q ACCEPT ends.log && break; sleep 0.1; done
fetch --cacert ca.pem "https://localhost:$(grep -o '[0-9]*$' ends.log | head -1)/big" -o big.0
check "decrypted bodies are byte-exact" \
    "cmp -s big.0 www/big && cmp -s big.1 www/big && cmp -s small.1 www/small && cmp -s big.2 www/big"
# A slow browser: what waits for it is sent on, to the last byte.
fetch --cacert ca.pem --limit-rate 4M "https://localhost:${port[good2]}/large" -o large.1 \
    "https://localhost:$(grep -o '[0-9]*$' ends.log | head -1)/large" -o large.2
check "a slow browser gets whole bodies" "cmp -s large.1 www/large && cmp -s large.2 www/large"
check "summaries name the host" "grep -q 'GET $g/big HTTP/1.1' records && grep -q 'GET $g/small HTTP/1.1' records"
check "keep-alive: both requests on one origin connection" \
    "[ \$(grep -P '\tGET $g/' records | cut -f2 | cut -d- -f1 | sort -u | wc -l) = 1 ]"
# Origins that fail verification: a 502 inside TLS naming the hop and the reason.
for bad in "wrong:wrong name" "expired:has expired" "untrusted:unknown issuer"; do
    fetch --cacert ca.pem "https://localhost:${port[${bad%%:*}]}/small" > reply
    check "${bad%%:*} origin gives the 502 text" \
        "grep -q 'TLS to the origin server localhost:${port[${bad%%:*}]} failed: .*${bad#*:}' reply && grep -q '${bad#*:}' errors"
done
# Passed through unchanged: a pass-listed host (curl sees the origin's own certificate) and
# bytes after CONNECT that are no TLS.
fetch --cacert root.pem "https://127.0.0.1:${port[good]}/big" -o big.3
check "pass-listed host tunnelled unchanged" "cmp -s big.3 www/big"
fetch -p "http://localhost:${port[plain]}/big" -o big.4
check "non-TLS bytes after CONNECT tunnelled unchanged" "cmp -s big.4 www/big"
# An absolute https:// request goes to the origin over TLS (decryption or not).
fetch "http://localhost/" --request-target "$g/big" -o big.5
check "absolute https:// request" "cmp -s big.5 www/big"
# A client refusing Kestrune's certificate: one line, then its host passes undecrypted.
fetch "$g/small" > /dev/null
fetch --cacert root.pem "$g/big" -o big.6
check "refused certificate: host passed through afterwards" \
    "cmp -s big.6 www/big && [ \$(grep -c \"refused Kestrune's certificate for localhost\" errors) = 1 ]"
# The HAR, written at exit: decrypted requests under https and the authority they were routed to;
# a tunnel passed through gives no entry.
kill -TERM "$decrypting" && wait "$decrypting"
har_has() { python3 -c 'import json, sys
urls = [e["request"]["url"] for e in json.load(open("run.har"))["log"]["entries"]]
sys.exit(0 if (sys.argv[1] in urls) == (sys.argv[2] == "yes") else 1)' "$1" "$2"; }
check "HAR: decrypted requests are https to the routed authority" \
    "har_has '$g/small' yes && har_has 'https://localhost:${port[good2]}/big' yes && har_has 'http://localhost:${port[good]}/small' no"
check "HAR: no entry for a tunnel passed through" "har_has 'https://127.0.0.1:${port[good]}/' no"
check "HAR: readable by the owner only" "[ \$(stat -c %a run.har) = 600 ]"
exit $failed
