# What the scripts share that try Kestrune with real clients and TLS origins on loopback;
# sourced (. "$(dirname "$0")/../tools/test-kit.sh"), never run.
#   kit_work      a new temporary folder, $dir, made the current folder and HOME and
#                 XDG_CONFIG_HOME (nothing of the user's is read); at exit the processes in
#                 pids are ended and the folder goes (KEEP=1 keeps it for a look)
#   make_test_root [NAME]
#                 root.pem and root.key: a P-256 root valid 2 days, NAME its common name
#   issue NAME SAN DAYS [self]
#                 NAME.pem and NAME.key for the subjectAltName SAN ("DNS:localhost"), valid
#                 DAYS days, signed by that root (or by itself: self)
#   check TEXT CONDITION
#                 "ok: TEXT" when the shell condition holds, else "FAILED: TEXT" and failed=1
pids=()
failed=0

check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failed=1; fi; }

kit_work() {
    dir=$(mktemp -d)
    trap kit_cleanup EXIT
    cd "$dir" || exit 2
    export HOME=$dir XDG_CONFIG_HOME=$dir/config
}

kit_cleanup() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
    if [ -n "${KEEP:-}" ]; then echo "kept $dir" >&2; else rm -rf "$dir"; fi
}

make_test_root() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key \
        -out root.pem -days 2 -subj "/CN=${1:-Test Root}" 2>/dev/null
}

issue() {
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.key" -out "$1.csr" \
        -subj "/CN=$1" 2>/dev/null || return 1
    printf "subjectAltName=%s\n" "$2" > "$1.ext"
    if [ "${4:-}" = self ]; then
        openssl x509 -req -in "$1.csr" -signkey "$1.key" -out "$1.pem" -days "$3" -extfile "$1.ext" 2>/dev/null
    else
        openssl x509 -req -in "$1.csr" -CA root.pem -CAkey root.key -CAcreateserial -out "$1.pem" \
            -days "$3" -extfile "$1.ext" 2>/dev/null
    fi
}
