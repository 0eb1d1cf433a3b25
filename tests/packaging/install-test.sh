#!/usr/bin/env bash
# Installs the package into a throw-away root with dpkg, runs the installed program (version,
# headless proxy with a request through it, window module found), then purges the package and
# checks that nothing is left behind. The dependencies are checked against this machine.
# Usage: install-test.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
proxy_pid=
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "install-test: $*" >&2; exit 1; }

# The dependencies must be installable here; then a real dpkg installation into the new root,
# whose empty package database cannot hold them.
apt-get install --simulate --no-install-recommends "$deb" >/dev/null \
  || fail "the dependencies cannot be satisfied on this machine"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/home"
touch "$root/var/lib/dpkg/status"
dpkg=(dpkg --root="$root" --log=/dev/null --force-not-root)
[ "$(id -u)" -eq 0 ] || dpkg=(fakeroot "${dpkg[@]}") # files are owned by root in the package
"${dpkg[@]}" --force-depends --install "$deb" >"$root/dpkg-log" 2>&1 \
  || fail "dpkg --install failed: $(cat "$root/dpkg-log")"
exe=$root/usr/bin/kestrune
[ -x "$exe" ] || fail "no $exe"

# Session files are a type of their own, opened by the desktop entry.
mime=$(mktemp -d)
cp -r "$root/usr/share/mime/packages" "$mime/" || fail "no shared MIME package installed"
update-mime-database "$mime" >/dev/null 2>&1 || fail "the MIME package does not build a database"
grep -q ':application/x-kestrune-session:\*\.kestrune$' "$mime/globs2" \
  || fail "*.kestrune is no application/x-kestrune-session"
rm -rf "$mime"
grep -qx 'MimeType=application/x-kestrune-session;' "$root/usr/share/applications/kestrune.desktop" \
  || fail "the desktop entry does not open sessions"

version=$("$exe" --version)
[[ $version == "Kestrune "[0-9]* ]] || fail "--version printed '$version'"

# The headless proxy: a request to a closed loopback port gets the proxy's own 404 page and
# makes a JSON record line.
export XDG_CONFIG_HOME=$root/home
"$exe" --headless --port 0 --format json >"$root/out" 2>"$root/err" &
proxy_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$root/err")
  [ -n "$port" ] && break
  kill -0 "$proxy_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "no listening line: $(cat "$root/err")"
code=$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -x "127.0.0.1:$port" http://127.0.0.1:1/ || true)
[ "$code" = 404 ] || fail "no 404 page through the proxy (status '$code')"
for _ in $(seq 100); do
  grep -q '^{"direction":"send","connection":1,' "$root/out" && break
  sleep 0.1
done
grep -q '^{"direction":"send","connection":1,' "$root/out" || fail "no JSON record: $(cat "$root/out")"
kill -TERM "$proxy_pid"
status=0
wait "$proxy_pid" || status=$?
proxy_pid=
[ "$status" -eq 0 ] || fail "headless exit status $status after SIGTERM"

# The window module is found from the installed program: a missing module fails at once with
# status 2, a loaded window keeps running until it is stopped.
QT_QPA_PLATFORM=offscreen "$exe" >/dev/null 2>"$root/window-err" &
window_pid=$!
sleep 2
if ! kill -0 "$window_pid" 2>/dev/null; then
  wait "$window_pid" || true
  fail "the window did not start: $(cat "$root/window-err")"
fi
kill -TERM "$window_pid"; wait "$window_pid" || true

"${dpkg[@]}" --purge kestrune >/dev/null
left=$(cd "$root" && find . -path ./var -prune -o -path ./home -prune -o -path ./out -o -path ./err \
  -o -path ./window-err -o -path ./dpkg-log -o -path . -o -print)
[ -z "$left" ] || fail "left behind after purge: $left"
echo "install-test: installed, ran $version (headless and window) and purged cleanly"
