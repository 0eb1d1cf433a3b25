#!/usr/bin/env bash
# Sets up and builds Kestrune if needed, then runs it: the window when there is a display,
# otherwise the headless proxy on port 8010. Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(tools/setup.sh | tail -n 1)
if [ $# -gt 0 ]; then
  exec "$build/src/kestrune" "$@"
fi
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$build/src/kestrune"
fi
echo "No display found: running Kestrune headless on port 8010 (Ctrl+C stops it)." >&2
exec "$build/src/kestrune" --headless --port 8010
