#!/bin/bash
# Chromium from Debian loads an HTTPS page through a decrypting Kestrune and every resource
# arrives: three images, a stylesheet, a script, and a JSON file and a 1 MiB binary the script
# fetches (the binary checked by its SHA-256 in the page). Kestrune's root goes into a throw-away
# NSS database, the origin is a loopback TLS server with a certificate from a test root that
# Kestrune trusts through --upstream-ca. Everything stays on loopback. Exit 0 when every resource
# is in the page, in Kestrune's record lines and in the origin's access log.
# Usage: tools/chromium-https-check.sh [KESTRUNE]   (default build/src/kestrune)
set -u
exe=$(realpath "${1:-$(dirname "$0")/../build/src/kestrune}")
[ -x "$exe" ] || { echo "chromium-https-check: no Kestrune at $exe (build it first)" >&2; exit 2; }
bash "$(dirname "$0")/install-missing.sh" chromium libnss3-tools \
    || { echo "chromium-https-check: cannot install chromium and libnss3-tools" >&2; exit 2; }
# KEEP=1 keeps the temporary folder (logs, records, the page) for a look after a failure.
. "$(dirname "$0")/test-kit.sh"
kit_work
fail() { echo "chromium-https-check: FAILED: $*" >&2; exit 1; }

# The test root and the origin's certificate for localhost (from /etc/hosts: no name server asked).
make_test_root "Chromium Check Root" && issue origin "DNS:localhost" 2 || fail "cannot make the test certificates"

# The page and its resources.
mkdir -p www/img
head -c $((1 << 20)) /dev/urandom > www/big.bin
digest=$(sha256sum www/big.bin | cut -d' ' -f1)
python3 - <<'PY' || fail "cannot write the images"
import struct, zlib
def png(path, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + bytes(rgb) * 32 for _ in range(32))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 32, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
for name, rgb in (("red", (200, 0, 0)), ("green", (0, 160, 0)), ("blue", (0, 0, 200))):
    png("www/img/%s.png" % name, rgb)
PY
printf '{"words": ["decrypted", "and", "fetched"]}\n' > www/data.json
printf 'body { --check: loaded; background: #eee; }\n' > www/style.css
cat > www/index.html <<'HTML'
<!doctype html>
<html><head><meta charset="utf-8"><title>Kestrune HTTPS check</title>
<link rel="stylesheet" href="style.css">
<script src="app.js"></script>
</head><body>
<img id="red" src="img/red.png"><img id="green" src="img/green.png"><img id="blue" src="img/blue.png">
<p id="result">pending</p>
</body></html>
HTML
cat > www/app.js <<JS
window.addEventListener("load", async () => {
    const seen = [...document.images].map(i => i.id + "=" + (i.naturalWidth === 32 ? "ok" : "missing"));
    const css = getComputedStyle(document.body).getPropertyValue("--check").trim();
    seen.push("style=" + (css === "loaded" ? "ok" : "missing"), "script=ok");
    try {
        const data = await (await fetch("data.json")).json();
        seen.push("json=" + (data.words.join(" ") === "decrypted and fetched" ? "ok" : "wrong"));
        const bytes = await (await fetch("big.bin")).arrayBuffer();
        const hash = [...new Uint8Array(await crypto.subtle.digest("SHA-256", bytes))]
            .map(b => b.toString(16).padStart(2, "0")).join("");
        seen.push("binary=" + (hash === "$digest" ? "ok" : "wrong"));
    } catch (e) {
        seen.push("fetch=failed:" + e);
    }
    document.getElementById("result").textContent = "RESULT " + seen.join(" ") + " END";
});
JS
cat > origin.py <<'PY'
import http.server, ssl, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, format, *args):
        with open("access.log", "a") as log:
            log.write(format % args + "\n")
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), lambda *a: Handler(*a, directory="www"))
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain("origin.pem", "origin.key")
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 origin.py > origin.port 2> origin.err & pids+=($!)
for _ in $(seq 100); do [ -s origin.port ] && break; sleep 0.1; done
[ -s origin.port ] || fail "the origin did not start: $(cat origin.err)"
origin=$(cat origin.port)

# Kestrune with a throw-away settings folder; its root into a throw-away NSS database.
"$exe" --headless --export-ca kestrune-ca.pem > /dev/null 2>&1 || fail "kestrune --export-ca failed"
mkdir -p .pki/nssdb
certutil -N --empty-password -d sql:.pki/nssdb && \
    certutil -A -t C,, -n Kestrune -i kestrune-ca.pem -d sql:.pki/nssdb || fail "cannot make the NSS database"
"$exe" --headless --port 0 --decrypt-https --upstream-ca root.pem > records 2> kestrune.err & pids+=($!)
for _ in $(seq 100); do grep -q "listening on port" kestrune.err && break; sleep 0.1; done
port=$(grep -o "listening on port [0-9]*" kestrune.err | grep -o "[0-9]*$")
[ -n "$port" ] || fail "Kestrune did not start: $(cat kestrune.err)"

# Only localhost goes to Kestrune ("<-loopback>": Chromium would bypass the proxy for it); any
# name with a dot, such as the hosts Chromium asks on its own, bypasses it and meets Chromium's
# resolver, which here answers no name: nothing leaves loopback, no name server is asked.
url=https://localhost:$origin/
timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir="$dir/profile" \
    --proxy-server="http://127.0.0.1:$port" --proxy-bypass-list="<-loopback>;*.*" \
    --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1" \
    --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --disable-default-apps --disable-extensions --disable-domain-reliability --no-pings \
    --disable-features=OptimizationHints,MediaRouter,Translate,AutofillServerCommunication \
    --virtual-time-budget=30000 --dump-dom "$url" > dom.html 2> chromium.err
[ -s dom.html ] || fail "Chromium printed no page: $(tail -5 chromium.err)"
result=$(grep -o "RESULT .* END" dom.html)
echo "page: ${result:-no result}"
[ -n "$result" ] || fail "the page's script did not run (is the page or app.js missing?)"
for part in red green blue style script json binary; do
    grep -q " $part=ok " <<< "$result " || fail "the page lacks $part: $result"
done
kill "${pids[1]}" 2>/dev/null; wait "${pids[1]}" 2>/dev/null # flushes the record lines
for path in / /style.css /app.js /img/red.png /img/green.png /img/blue.png /data.json /big.bin; do
    grep -qF "GET https://localhost:$origin$path HTTP/1.1" records \
        || fail "no decrypted record for $path in Kestrune's output"
    grep -qF "\"GET $path HTTP/1.1\" 200" access.log || fail "the origin's log lacks $path"
done
others=$(awk -F'\t' -v o="localhost:$origin" '$1 == "SEND" && $5 ~ / HTTP\// && !index($5, o) { print $5 }' records)
[ -z "$others" ] || fail "requests to other hosts went through Kestrune: $others"
echo "chromium-https-check: ok: $(grep -c "GET https://localhost:$origin/" records) decrypted requests, every resource arrived"
