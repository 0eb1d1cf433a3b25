#!/bin/bash
# kestrune --replay of https exchanges against a loopback TLS origin made here with a test root:
# verified with that root, refused without it, and through an upstream proxy (a headless
# Kestrune, which passes the CONNECT tunnel on).
# Usage: replay-https.sh KESTRUNE
set -u
exe=$1
. "$(dirname "$0")/../../tools/test-kit.sh"
kit_work
make_test_root
issue leaf "DNS:localhost,IP:127.0.0.1" 2
mkdir www && printf 'small\n' > www/small
cat > origin.py <<'PY'
import http.server, ssl
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *a: Handler(*a, directory="www"))
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain("leaf.pem", "leaf.key")
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 origin.py > origin.port & pids+=($!)
"$exe" --headless --port 0 --quiet 2> proxy.log & pids+=($!)
for _ in $(seq 100); do [ -s origin.port ] && grep -q "listening on port" proxy.log && break; sleep 0.1; done
port=$(cat origin.port)
proxy=$(grep -o "listening on port [0-9]*" proxy.log | grep -o "[0-9]*$")
url="https://127.0.0.1:$port"
cat > capture.har <<HAR
{"log": {"entries": [
 {"startedDateTime": "2026-01-01T00:00:00.000Z",
  "request": {"method": "GET", "url": "$url/small", "httpVersion": "HTTP/1.1",
              "headers": [{"name": "Host", "value": "127.0.0.1:$port"}]},
  "response": {"status": 200, "httpVersion": "HTTP/1.1", "headers": [],
               "content": {"size": 6, "text": "small\n"}}},
 {"startedDateTime": "2026-01-01T00:00:01.000Z",
  "request": {"method": "GET", "url": "$url/gone", "httpVersion": "HTTP/1.1",
              "headers": [{"name": "Host", "value": "127.0.0.1:$port"}]},
  "response": {"status": 404, "httpVersion": "HTTP/1.1", "headers": [], "content": {"size": 0}}}]}}
HAR
timeout 60 "$exe" --replay capture.har --upstream-ca root.pem > verified; status=$?
check "verified with the test root: every status as recorded" "[ $status = 0 ]"
check "the body is the recorded one" "grep -q '\"url\":\"$url/small\".*\"body_equal\":true.*\"same\"' verified"
timeout 60 "$exe" --replay capture.har > refused; status=$?
check "without the root the origin is refused" \
    "[ $status = 1 ] && grep -q '\"status\":0.*\"error\":\"TLS with 127.0.0.1 failed: .*unknown issuer' refused"
timeout 60 "$exe" --replay capture.har --upstream-ca root.pem --upstream "127.0.0.1:$proxy" \
    --concurrency 2 > upstream; status=$?
check "through the upstream proxy" "[ $status = 0 ] && [ \$(grep -c '\"same\"' upstream) = 2 ]"
# Port 1 on loopback has no listener: the replay must go there and fail, not around it.
timeout 60 "$exe" --replay capture.har --upstream-ca root.pem --upstream 127.0.0.1:1 > noproxy; status=$?
check "no way past a missing upstream proxy" \
    "[ $status = 1 ] && grep -q 'cannot connect to the upstream proxy 127.0.0.1' noproxy"
[ $failed = 0 ] || { echo "--- verified"; cat verified; echo "--- refused"; cat refused; echo "--- upstream"; cat upstream; }
exit $failed
