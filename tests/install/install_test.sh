#!/bin/sh
# Stages the install with DESTDIR, as packagers do, and checks the tree: the program where the
# prefix puts programs, the page's files in the web root, nothing else. Then starts the staged
# program in that web root, as -d would, and fetches both files from its web server.
#   install_test.sh CMAKE BUILD_DIR BINDIR WEB_ROOT WEB_SOURCE
# Exit status 77 with a line "SKIP: ..." when this machine lacks curl, ss or unshare, or when it
# does not run as root.
set -eu
cmake=$1 build=$2 bindir=$3 web_root=$4
web_src=$(cd "$5" && pwd)

fail() {
    echo "FAIL: $*"
    exit 1
}

tmp=$(mktemp -d)
pid=""
cleanup() {
    [ -z "$pid" ] || { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; } || true
    rm -rf "$tmp"
}
trap cleanup EXIT

stage=$tmp/stage
DESTDIR=$stage "$cmake" --install "$build" >"$tmp/install.out" 2>&1 ||
    { cat "$tmp/install.out"; fail "cmake --install failed"; }

program=$stage$bindir/vesk_bt
{ [ -f "$program" ] && [ -x "$program" ]; } || fail "no executable $program"
for f in style.css script.js; do
    cmp "$web_src/$f" "$stage$web_root/$f" || fail "$web_root/$f is not the repository's web/$f"
done
want=$(printf '%s\n' "$program" "$stage$web_root/script.js" "$stage$web_root/style.css" | sort)
got=$(find "$stage" -type f | sort)
[ "$got" = "$want" ] || fail "the staged tree holds other files:
$got"

for tool in curl ss unshare; do
    command -v $tool >/dev/null 2>&1 || { echo "SKIP: no $tool on this machine"; exit 77; }
done
# Nothing the program looks up may leave this machine: it runs in a mount namespace of its own
# whose resolv.conf names 127.0.0.1 alone, as every program the tests start does.
[ "$(id -u)" = 0 ] || { echo "SKIP: starting the program needs root, for a resolv.conf of its own"; exit 77; }
printf 'nameserver 127.0.0.1\n' >"$tmp/resolv.conf"

# Port 0: the kernel picks a free one, read back from the program's listening socket. The
# program keeps the pid that unshare and sh had, as each execs the next.
cd "$stage$web_root"
# shellcheck disable=SC2016,SC2086
unshare --mount --propagation private sh -c \
    '{ [ ! -e /etc/resolv.conf ] || mount --bind "$0" /etc/resolv.conf; } && exec "$@"' \
    "$tmp/resolv.conf" ${VESK_EMULATOR:-} "$program" -p 0 -l "$tmp/log" >"$tmp/out" 2>&1 &
pid=$!
port=""
tries=0
while [ -z "$port" ]; do
    kill -0 "$pid" 2>/dev/null || { cat "$tmp/out"; pid=""; fail "the program ended"; }
    [ $tries -lt 200 ] || fail "the program opened no listening socket in 20 s"
    tries=$((tries + 1))
    sleep 0.1
    port=$(ss -Hltnp 2>/dev/null | awk -v p="pid=$pid," 'index($0, p) {n = split($4, a, ":"); print a[n]; exit}')
done
for f in style.css script.js; do
    curl -s --max-time 10 -u admin:tulvex -o "$tmp/$f" "http://127.0.0.1:$port/$f" ||
        fail "curl /$f: exit $?"
    cmp "$web_src/$f" "$tmp/$f" || fail "/$f served from the staged web root differs from web/$f"
done
echo "staged tree and served files as expected"
