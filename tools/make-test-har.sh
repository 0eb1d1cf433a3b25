#!/usr/bin/env bash
# Makes a small HAR 1.2 file of a real browser's traffic: headless Chromium loads a page (a
# style sheet, an image, a script that fetches JSON and posts a form) from a loopback origin
# through a headless Kestrune, which writes the HAR. Everything runs in a network namespace
# of its own with only loopback up, so nothing reaches past this machine, whatever the browser
# tries on its own.
# Usage: tools/make-test-har.sh OUT.har [KESTRUNE]   (needs root for the namespace; installs chromium when missing)
set -euo pipefail
out=$(realpath -m "$1")
exe=$(realpath "${2:-build/src/kestrune}")
if [ -z "${KESTRUNE_HAR_NETNS:-}" ]; then
  # The browser is this script's own need, not the build's: installed here when missing.
  command -v chromium >/dev/null || bash "$(dirname "$0")/install-missing.sh" chromium \
      || { echo "make-test-har: cannot install chromium" >&2; exit 2; }
  exec env KESTRUNE_HAR_NETNS=1 unshare -n bash "$0" "$out" "$exe"
fi
ip link set lo up

work=$(mktemp -d)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

site=$work/site
mkdir -p "$site"
cat > "$site/index.html" <<'HTML'
<!doctype html>
<html><head><title>Kestrune HAR</title><link rel="stylesheet" href="style.css"></head>
<body><h1>Grüße</h1><img src="dot.png" alt="dot">
<script src="app.js"></script></body></html>
HTML
echo 'h1 { color: #335; }' > "$site/style.css"
printf '{"items": [1, 2, 3], "name": "kestrune"}\n' > "$site/data.json"
# A 1x1 PNG: a binary body.
base64 -d > "$site/dot.png" <<'PNG'
iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==
PNG
cat > "$site/app.js" <<'JS'
fetch('data.json').then(r => r.json()).then(d => {
  document.title = d.name;
  // The origin answers POST with 501: a request body and an error answer in the HAR.
  return fetch('submit', {method: 'POST', headers: {'Content-Type': 'application/x-www-form-urlencoded'},
                          body: 'a=1&b=two'});
}).finally(() => { document.body.dataset.done = 'yes'; });
JS

(cd "$site" && exec python3 -m http.server 0 --bind 127.0.0.1 > "$work/origin.log" 2>&1) &
pids+=($!)
export XDG_CONFIG_HOME=$work/config
"$exe" --headless --port 0 --quiet --har "$out.tmp" 2> "$work/proxy.log" &
proxy_pid=$!
pids+=($proxy_pid)
origin_port= proxy_port=
for _ in $(seq 100); do
  origin_port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/origin.log" | head -1)
  proxy_port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/proxy.log" | head -1)
  [ -n "$origin_port" ] && [ -n "$proxy_port" ] && break
  sleep 0.1
done
[ -n "$origin_port" ] && [ -n "$proxy_port" ] || { echo "origin or proxy did not start" >&2; exit 1; }

# <-loopback>: the browser otherwise goes straight to 127.0.0.1 instead of through the proxy.
chromium --headless=new --no-sandbox --disable-gpu --user-data-dir="$work/profile" \
  --no-first-run --disable-background-networking --disable-component-update --disable-sync \
  --proxy-server="http://127.0.0.1:$proxy_port" --proxy-bypass-list='<-loopback>' \
  --virtual-time-budget=5000 --dump-dom "http://127.0.0.1:$origin_port/index.html" \
  > "$work/dom.html" 2> "$work/chromium.log" || true
grep -q 'data-done="yes"' "$work/dom.html" || { echo "the page did not finish" >&2; exit 1; }

kill -TERM "$proxy_pid"
wait "$proxy_pid" || true
# Only the page's own requests are kept: the origin's port is made a fixed one, so that the
# file does not change from run to run more than its times do.
python3 - "$out.tmp" "$out" "$origin_port" <<'PY'
import json, sys
src, dst, port = sys.argv[1], sys.argv[2], sys.argv[3]
har = json.load(open(src))
entries = [e for e in har["log"]["entries"] if e["request"]["url"].startswith(f"http://127.0.0.1:{port}/")]
text = json.dumps(dict(har, log=dict(har["log"], entries=entries)), indent=1, ensure_ascii=False)
open(dst, "w").write(text.replace(f"127.0.0.1:{port}", "127.0.0.1:8080"))
print(f"{dst}: {len(entries)} entries", file=sys.stderr)
PY
rm -f "$out.tmp"
