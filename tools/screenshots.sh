#!/usr/bin/env bash
# Takes a picture of each page of Kestrune's window into docs/: starts the program on a virtual
# X display (Xvfb), sends a little traffic through it to a small web server on 127.0.0.1, turns
# on Debug Trace, switches through the tabs and saves each page as PNG.
# Usage: tools/screenshots.sh [BUILD_DIR]   (default: the folder tools/setup.sh builds into)
# Needs Xvfb, xdotool, xwd (x11-apps), ImageMagick, python3 and curl; installs the first four
# from Debian when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash tools/install-missing.sh xvfb xdotool x11-apps imagemagick

build=${1:-}
if [ -z "$build" ]; then
  build=$(tools/setup.sh | tail -n 1)
fi
program="$root/$build/src/kestrune"
[ -x "$program" ] || program="$build/src/kestrune"
[ -x "$program" ] || { echo "screenshots: no program at $build/src/kestrune" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# Waits (at most about 10 s) until "$@" succeeds.
wait_for() {
  for _ in $(seq 1 100); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "screenshots: gave up waiting for: $*" >&2
  return 1
}

# The web server: a page, its style sheet and (by its absence) a 404.
site="$work/site"
mkdir -p "$site"
cat > "$site/index.html" <<'HTML'
<!DOCTYPE html>
<html><head><title>Kestrune sample</title><link rel="stylesheet" href="style.css"></head>
<body><h1>Hello through Kestrune</h1><p>A small page fetched through the proxy.</p></body></html>
HTML
printf 'body { font-family: sans-serif; }\nh1 { color: #174a63; }\n' > "$site/style.css"
printf '{"items":[{"id":1,"name":"kestrel","tags":["bird","fast"]},{"id":2,"name":"rune","tags":[]}],"next":null}' > "$site/api.json"
origin_port=$(free_port)
python3 -m http.server "$origin_port" --bind 127.0.0.1 --directory "$site" >/dev/null 2>&1 &
pids+=($!)
wait_for curl -sf -o /dev/null "http://127.0.0.1:$origin_port/"

# A virtual display; Xvfb picks its own free display number.
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp >/dev/null 2>&1 3>"$work/display" &
pids+=($!)
wait_for test -s "$work/display"
export DISPLAY=":$(head -n 1 "$work/display")"

# Kestrune on a free port, with settings of its own.
proxy_port=$(free_port)
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME/Varnel"
printf '[General]\nHttpAddress=localhost\nHttpPort=%s\n' "$proxy_port" > "$XDG_CONFIG_HOME/Varnel/Kestrune.conf"
"$program" >"$work/kestrune.log" 2>&1 &
pids+=($!)
window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --onlyvisible --name '^Kestrune$' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshots: the window did not appear" >&2; cat "$work/kestrune.log" >&2; exit 1; }
wait_for xdotool windowfocus --sync "$window"
sleep 0.5

key() { xdotool key --window "$window" "$@"; sleep 0.3; }

# Debug Trace: from the tab bar, Tab walks the Setup page's focus order (the disabled Apply
# button is skipped) to its tenth control, the Debug Trace box.
key Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab space

proxy="http://127.0.0.1:$proxy_port"
curl -s -o /dev/null -x "$proxy" -d 'name=kestrune' "http://127.0.0.1:$origin_port/form"
curl -s -o /dev/null -x "$proxy" "http://127.0.0.1:$origin_port/missing.png"
curl -s -o /dev/null -x "$proxy" "http://127.0.0.1:$origin_port/"
curl -s -o /dev/null -x "$proxy" "http://127.0.0.1:$origin_port/style.css"
curl -s -o /dev/null -x "$proxy" "http://127.0.0.1:$origin_port/api.json"
sleep 2.5 # the byte counters refresh every 2 seconds

shoot() { xwd -id "$window" -silent | convert xwd:- "$root/docs/$1.png"; echo "docs/$1.png"; }

mkdir -p "$root/docs"
key Tab # away from the check box, so it does not show the focus frame
shoot setup
key ctrl+Tab; sleep 0.5; shoot request-viewer           # pulls its feed when first shown
key ctrl+Tab; sleep 0.5; shoot response-viewer
# The Listing at the sheet's first size: Refresh, a filter typed (Ctrl+F).
key ctrl+Tab; sleep 0.5
key alt+r; key ctrl+f; for c in minus s t a t u s colon 5 x x; do key "$c"; done; sleep 0.5
shoot listing
# Exchanges: the JSON answer selected, its body below.
key ctrl+Tab; sleep 1
key Tab Tab; key ctrl+End; key Return; key alt+p; key alt+b; sleep 0.5
shoot exchanges
key ctrl+Tab; sleep 3.5; shoot debug                     # first pull at its first tick
key ctrl+Tab; key ctrl+Tab; sleep 0.5; shoot about
