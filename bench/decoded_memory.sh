#!/usr/bin/env bash
# Memory of decoded text: a loopback origin answers N requests with the same small gzip body
# that decodes to a lot of text (16 MiB of "<br>" in about 16 KB, as any site can send), fetched
# on one keep-alive connection through a headless Kestrune with --decode and --har (so the
# records keep their texts until the connection closes). Prints the program's resident memory
# before and after, and the growth per compressed byte received. --no-har leaves the HAR out
# (its writer decodes each body in full for the file, which costs memory of its own); --window
# measures the window instead (offscreen, decoding switched on in its settings), where every
# record is kept for the Listing.
#
# Usage: bash bench/decoded_memory.sh [--count N] [--kestrune PATH] [--no-har] [--window]
set -euo pipefail
. "$(dirname "$0")/lib.sh"
count=40 kestrune="$root/build/src/kestrune" har=1 window=0
while [ $# -gt 0 ]; do
  case "$1" in
    --no-har) har=0 ;;
    --window) window=1 ;;
    --count) count=$2; shift ;;
    --kestrune) kestrune=$2; shift ;;
    *) echo "usage: bash bench/decoded_memory.sh [--count N] [--kestrune PATH] [--no-har] [--window]" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$kestrune" ] || { echo "decoded_memory.sh: not an executable program: $kestrune" >&2; exit 2; }

bench_work kestrune-decoded "${TMPDIR:-/tmp}"

# Origin: HTTP/1.1 keep-alive, every GET answered with the same gzip body.
python3 - >"$work/origin.port" <<'PY' &
import gzip, http.server, socketserver
line = b"<br>"
packed = gzip.compress(line * ((16 << 20) // len(line)), 9)
class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(packed)))
        self.end_headers()
        self.wfile.write(packed)
    def log_message(self, *args):
        pass
class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], len(packed), flush=True)
server.serve_forever()
PY
bench_pids+=($!)
for _ in $(seq 100); do [ -s "$work/origin.port" ] && break; sleep 0.1; done
read -r origin packed <"$work/origin.port"

mkdir -p "$work/config"
if [ "$window" = 1 ]; then
  port=$(free_port)
  mkdir -p "$work/config/Varnel"
  printf '[General]\nHttpPort=%s\nDecodeBodies=1\n' "$port" >"$work/config/Varnel/Kestrune.conf"
  XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$kestrune" >/dev/null 2>"$work/kestrune.err" &
  kpid=$!
  bench_pids+=("$kpid")
  wait_port "$port" "$kpid" 30 "$work/kestrune.err" || exit 1
else
  outputs=()
  [ "$har" = 1 ] && outputs=(--har "$work/run.har")
  XDG_CONFIG_HOME="$work/config" start_headless "$kestrune" "$work/kestrune.err" --quiet --decode \
    "${outputs[@]}" || exit 1
  port=$kestrune_port kpid=$kestrune_pid
fi

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$kpid/status"; } # KiB

# The client keeps its connection open while the memory is read: the trace entry is open, so
# nothing is purged yet.
python3 - "$port" "$origin" "$count" "$kpid" <<'PY'
import http.client, sys
port, origin, count, pid = (int(a) for a in sys.argv[1:5])
def rss():
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
def fetch(i):
    conn.request("GET", f"http://127.0.0.1:{origin}/page{i}", headers={"Accept-Encoding": "gzip"})
    r = conn.getresponse()
    body = r.read()
    assert r.status == 200, r.status
    return len(body)
received = fetch(0)
before = rss()
for i in range(1, count + 1):
    received = fetch(i)
after = rss()
conn.close()
growth = (after - before) * 1024
print(f"{count} responses of {received:,} compressed bytes (16 MiB of text each)")
print(f"resident memory: {before / 1024:.1f} MB before, {after / 1024:.1f} MB after: "
      f"+{growth / 1e6:.1f} MB, {growth / (count * received):.0f} x the compressed bytes")
PY
