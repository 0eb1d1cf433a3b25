#!/usr/bin/env bash
# Imports a HAR file written by Kestrune into a real HAR consumer: npm's har-to-k6, which reads
# a HAR 1.2 log and turns its entries into a load-test script. Traffic: curl through a headless
# Kestrune (--har) to two small web servers on 127.0.0.1 and 127.0.0.2, keep-alive included.
# Usage: bench/har_import.sh [BUILD_DIR]   (default: build). Needs python3, curl, npm.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$root"
build=${1:-build}
program="$PWD/$build/src/kestrune"
[ -x "$program" ] || { echo "har_import: no program at $program (run tools/setup.sh)" >&2; exit 1; }

bench_work kestrune-har "${TMPDIR:-/tmp}"

consumer="$PWD/$build/har-import"
if [ ! -x "$consumer/node_modules/.bin/har-to-k6" ]; then
  npm install --silent --no-audit --no-fund --prefix "$consumer" har-to-k6@0.14.16 >&2
fi

mkdir -p "$work/site"
printf '<html><body>hello</body></html>\n' > "$work/site/index.html"
printf 'a,b\n1,2\n' > "$work/site/data.csv"
port_a=$(free_port 127.0.0.1)
port_b=$(free_port 127.0.0.2)
python3 -m http.server "$port_a" --bind 127.0.0.1 --directory "$work/site" >/dev/null 2>&1 & bench_pids+=($!)
python3 -m http.server "$port_b" --bind 127.0.0.2 --directory "$work/site" >/dev/null 2>&1 & bench_pids+=($!)

XDG_CONFIG_HOME="$work/config" start_headless "$program" "$work/kestrune.err" --quiet --har "$work/run.har" ||
  exit 1
port=$kestrune_port kestrune=$kestrune_pid
for _ in $(seq 1 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port_a/" && curl -s -o /dev/null "http://127.0.0.2:$port_b/" && break
  sleep 0.1
done

proxy="http://127.0.0.1:$port"
curl -s -o /dev/null -o /dev/null -x "$proxy" "http://127.0.0.1:$port_a/" "http://127.0.0.1:$port_a/data.csv"
curl -s -o /dev/null -x "$proxy" -d 'name=kestrune' "http://127.0.0.2:$port_b/form"
curl -s -o /dev/null -x "$proxy" "http://127.0.0.2:$port_b/missing"
kill -TERM "$kestrune"
wait "$kestrune" || true

entries=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["log"]["entries"]))' "$work/run.har")
echo "HAR written by Kestrune: $entries entries"
"$consumer/node_modules/.bin/har-to-k6" "$work/run.har" -o "$work/run.js"
requests=$(grep -c 'http.request\|http.get\|http.post' "$work/run.js" || true)
echo "har-to-k6 read it and wrote a script with $requests requests:"
grep -o "http\.[a-z]*('http://127\.0\.0\.[12]:[0-9]*/[^']*'" "$work/run.js"
