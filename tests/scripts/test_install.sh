#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the prefix (the install
# must not depend on where it was made), and builds a small C host against it
# through pkg-config and through find_package(Kavrel); both hosts run. The
# Python package is imported from the installed tree by /usr/bin/python3.
set -euo pipefail
SRC=${KAVREL_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
BUILD=$(cd "${KAVREL_BIN_DIR:?}/.." && pwd)
[[ -x $KAVREL_BIN_DIR/kavrel ]] || { echo "SKIPPED: the build is not complete"; exit 77; }
# A sanitized library needs its runtime first in every host; the install itself
# is checked in the plain build.
[[ -z ${KAVREL_SANITIZE:-} ]] || { echo "SKIPPED: sanitized build"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$BUILD" --prefix "$work/made" >/dev/null
mv "$work/made" "$work/prefix"
P=$work/prefix
libdir=$(dirname "$(find "$P" -name libkavrel.so | head -1)")
[[ -f $P/include/kavrel/kavrel.h ]] || fail "no include/kavrel/kavrel.h"
[[ -f $P/share/kavrel/xml/EN/Tesvik_Err.xml && -f $P/share/kavrel/errcodes.ini ]] || fail "data files not in share/kavrel"
[[ ! -e $libdir/xml ]] || fail "data files loose beside the library"
[[ $(ldd "$libdir/libkavrel.so") != *curses* ]] || fail "libkavrel.so pulls a terminal library"
[[ $(ldd "$libdir/libkavrel-terminal.so") == *curses* ]] || fail "the terminal backend has no terminal library"

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/host-pc" "$SRC/tests/integrators/host.c" $(pkg-config --cflags --libs kavrel) -Wl,-rpath,"$libdir"
"$work/host-pc" || fail "pkg-config host"

cmake -S "$SRC/tests/integrators/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$P" \
  -DHOST_SOURCE="$SRC/tests/integrators/host.c" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/host" || fail "find_package host"

# The header's worked example, compiled as a host writes it, runs against the simulator.
if grep -q 'EXAMPLE BEGIN' "$P/include/kavrel/kavrel.h"; then
  sed -n '/EXAMPLE BEGIN/,/EXAMPLE END/p' "$P/include/kavrel/kavrel.h" | sed '1d;$d' | sed 's/^ \* \{0,1\}//' > "$work/example.c"
  cc -Wall -Werror -o "$work/example" "$work/example.c" $(pkg-config --cflags --libs kavrel) -Wl,-rpath,"$libdir"
  mkfifo "$work/control"
  "$P/bin/kavrel-drive-sim" --tcp 127.0.0.1:0 --ids 1,2 --control "$work/control" > "$work/sim.out" 2>/dev/null &
  sim=$!
  trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$work"' EXIT
  for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" && break; sleep 0.1; done
  port=$(sed -n 's/^tcp 127.0.0.1:\([0-9]*\)$/\1/p' "$work/sim.out")
  [[ -n $port ]] || fail "the installed simulator did not start: $(cat "$work/sim.out")"
  (cd "$work" && timeout 120 ./example 127.0.0.1 "$port") || fail "the header's example"
fi

PYTHONPATH=$P/lib/python3/dist-packages /usr/bin/python3 -c '
import kavrel, sys
m = kavrel.Manager()
assert "ModbusTCP" in m.protocols, m.protocols
assert kavrel.error_text(0x80040701) != ""
assert kavrel._native.library_path().startswith(sys.argv[1]), kavrel._native.library_path()
' "$P" || fail "the installed Python package"
echo "install, pkg-config, find_package and the Python package: ok"
