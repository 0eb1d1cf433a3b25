#!/bin/bash
# Real curl through a decrypting Kestrune to TLS origins made here with a test root, on loopback.
# Usage: https-decryption.sh KESTRUNE
set -u
exe=$1
. "$(dirname "$0")/../../tools/test-kit.sh"
kit_work
make_test_root
issue good "DNS:localhost,IP:127.0.0.1" 2
issue wrong "DNS:other.invalid" 2
issue expired "DNS:localhost" 0
issue untrusted "DNS:localhost" 2 self
# The expired leaf ends this second: wait until it has.
for _ in $(seq 30); do openssl x509 -checkend 0 -noout -in expired.pem > /dev/null || break; sleep 0.1; done
mkdir www && head -c 3000000 /dev/urandom > www/big && printf 'small\n' > www/small
head -c 8000000 /dev/urandom > www/large
cat > origin.py <<'PY'
import http.server, socket, ssl, sys
accepts = 0
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *args): pass
    def reply(self, body):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.reply(b"got")
    def do_GET(self):
        if self.path == "/accepts":  # TCP connections accepted so far
            return self.reply(str(accepts).encode())
        if not self.path.startswith("/cut-"):
            return super().do_GET()
        # Part of a body, then TCP ends without close_notify.
        self.send_response(200)
        self.send_header("Content-Length" if self.path == "/cut-length" else "X-Ends", "100000")
        self.end_headers()
        self.wfile.write(b"x" * 1000)
        socket.socket.shutdown(self.connection, socket.SHUT_RDWR)
        self.close_connection = True
class Server(http.server.ThreadingHTTPServer):
    def get_request(self):
        global accepts
        sock, address = self.socket.accept()
        accepts += 1
        return (context.wrap_socket(sock, server_side=True) if context else sock), address
    def handle_error(self, *args): pass
context = None
if sys.argv[1] != "plain":
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1] + ".pem", sys.argv[1] + ".key")
server = Server(("127.0.0.1", 0), lambda *a: Handler(*a, directory="www"))
print(server.server_address[1], flush=True)
server.serve_forever()
PY
declare -A port
for name in good good2 good3 wrong expired untrusted plain; do
    python3 origin.py "${name%[23]}" > "$name.port" & pids+=($!)
done
# openssl's file server ends each response with close_notify and waits for ours.
(cd www && exec openssl s_server -accept 127.0.0.1:0 -cert ../good.pem -key ../good.key -WWW) > ends.log 2>&1 &
pids+=($!)
for name in good good2 good3 wrong expired untrusted plain; do
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
# One origin connection per decrypted CONNECT, its handshake begun with the browser's.
c=https://localhost:${port[good3]}
fetch --cacert ca.pem "$c/small" -o /dev/null
check "one origin connection per decrypted CONNECT" "[ \"\$(fetch --cacert ca.pem $c/accepts)\" = 2 ]"
# An origin that ends TCP inside a body: curl sees the short body, and a close-delimited body
# ends the browser's TLS without close_notify, as the origin's did.
fetch --cacert ca.pem "$c/cut-length" -o /dev/null
check "a cut body is an error at curl" "[ $? -ne 0 ]"
cat > cut.py <<'PY'
import socket, ssl, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
s.sendall(b"CONNECT localhost:%s HTTP/1.1\r\n\r\n" % sys.argv[2].encode())
head = b""
while not head.endswith(b"\n\n"): head += s.recv(1)  # the reply ends in bare LFs
t = ssl.create_default_context(cafile="ca.pem").wrap_socket(s, server_hostname="localhost", suppress_ragged_eofs=False)
t.sendall(b"GET /cut-close HTTP/1.1\r\nHost: localhost\r\n\r\n")
try:
    while t.recv(65536): pass
    print("close_notify")
except ssl.SSLEOFError:
    print("cut")
PY
check "a cut close-delimited body ends TLS without close_notify" \
    "[ \"\$(timeout 60 python3 cut.py ${proxy##*:} ${port[good3]})\" = cut ]"
# An uploaded text body is recorded as it was sent, no origin spliced into its lines.
printf 'cd /tmp && ls -l\nGET /etc/passwd HTTP/1.1\n' > upload
fetch --cacert ca.pem --data-binary @upload "$c/upload" -o /dev/null
for _ in $(seq 50); do grep -q 'cd /tmp' records && break; sleep 0.1; done
check "an uploaded body is recorded unchanged" "grep -q 'cd /tmp && ls -l' records && ! grep -q 'cd https:' records"
# Passed through unchanged: a pass-listed host (curl sees the origin's own certificate) and
# bytes after CONNECT that are no TLS.
fetch --cacert root.pem "https://127.0.0.1:${port[good]}/big" -o big.3
check "pass-listed host tunnelled unchanged" "cmp -s big.3 www/big"
fetch -p "http://localhost:${port[plain]}/big" -o big.4
check "non-TLS bytes after CONNECT tunnelled unchanged" "cmp -s big.4 www/big"
# An absolute https:// request goes to the origin over TLS (decryption or not).
fetch "http://localhost/" --request-target "$g/big" -o big.5
check "absolute https:// request" "cmp -s big.5 www/big"
# Kestrune's session tickets reach the browser, with its answer or, sent no request, at once:
# its next connections resume.
tls_client() { timeout 30 openssl s_client -proxy "${proxy#http://}" -connect "localhost:${port[good]}" \
    -servername localhost -CAfile ca.pem "$@" 2>&1; }
printf 'GET /small HTTP/1.0\r\nHost: localhost\r\n\r\n' | tls_client -quiet -sess_out answered.sess > /dev/null
printf 'GET /small HTTP/1.0\r\nHost: localhost\r\n\r\n' | tls_client -quiet -tls1_2 -sess_out tls12.sess > /dev/null
# The preconnect holds its side open until its session (a ticket) has come.
(for _ in $(seq 300); do [ -s preconnect.sess ] && break; sleep 0.1; done) \
    | tls_client -sess_out preconnect.sess > /dev/null
check "tickets come with the answer (TLS 1.3 and 1.2) and to a preconnect" \
    "tls_client -sess_in answered.sess < /dev/null | grep -q '^Reused' \
     && tls_client -tls1_2 -sess_in tls12.sess < /dev/null | grep -q '^Reused' \
     && tls_client -sess_in preconnect.sess < /dev/null | grep -q '^Reused'"
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
