#!/usr/bin/env bash
# The manual page stays true to the program: the same option names as --help, the same version,
# and groff finds nothing to warn about.
# Usage: options-match.sh KESTRUNE MANPAGE
set -euo pipefail
exe=$1 page=$2

# --help lists each option at the start of an indented line: "  --port PORT ...", "  -h, --help".
from_help=$("$exe" --help | grep -oE '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u)
# The page gives each option a .TP paragraph whose next line names it: ".B \-\-port", ".BR \-h ", " \-\-help".
from_page=$(awk 'prev == ".TP" { print } { prev = $1 }' "$page" \
  | grep -oE '\\-\\-[a-z\\-]+' | sed 's/\\//g' | sort -u)
if [ "$from_help" != "$from_page" ]; then
  echo "option names differ (< --help, > $page):" >&2
  diff <(echo "$from_help") <(echo "$from_page") >&2 || true
  exit 1
fi

version=$("$exe" --version | awk '{ print $2 }')
grep -q "^\.TH KESTRUNE 1 .*\"Kestrune $version\"" "$page" \
  || { echo "$page: .TH does not name version $version" >&2; exit 1; }

warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings" >&2; exit 1; }
echo "$(echo "$from_help" | wc -l) options match"
