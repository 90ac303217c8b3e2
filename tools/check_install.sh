#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a program against it with
# find_package (shared and static) and with pkg-config; each must run.
set -euo pipefail
build=$1
src=$2
tmp=$(mktemp -d /tmp/zaxinst.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
# The service and, when built, the zaxx command install with their manual
# pages; the installed zaxx runs from there.
installed=(sbin/omikinit share/man/man8/omikinit.8)
[ -e "$build/tools/zaxx/zaxx" ] && installed+=(bin/zaxx share/man/man1/zaxx.1 share/bash-completion/completions/zaxx)
for f in "${installed[@]}"; do
  [ -e "$tmp/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done
if [ -e "$tmp/prefix/bin/zaxx" ]; then
  "$tmp/prefix/bin/zaxx" err 0x780006 2 1 | grep -q '^XOpenFile: .*; detail ENOENT '
fi
cmake -S "$src/tests/install" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
      -DCMAKE_C_FLAGS="${ZAX_CONSUMER_FLAGS:-}" -DCMAKE_EXE_LINKER_FLAGS="${ZAX_CONSUMER_FLAGS:-}" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
LD_LIBRARY_PATH="$tmp/prefix/lib:${LD_LIBRARY_PATH:-}" "$tmp/consumer/consumer_shared" | grep -qx 00000001
"$tmp/consumer/consumer_static" | grep -qx 00000001
pcdir=$(dirname "$(find "$tmp/prefix" -name zaxxlib.pc | head -1)")
sed -i "s|^prefix=.*|prefix=$tmp/prefix|" "$pcdir/zaxxlib.pc"
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs zaxxlib)
cc ${ZAX_CONSUMER_FLAGS:-} "$src/tests/install/main.c" $flags -Wl,-rpath,"$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir zaxxlib)" -o "$tmp/consumer_pc"
"$tmp/consumer_pc" | grep -qx 00000001
# A static link takes SQLite through the file's Requires.private.
PKG_CONFIG_PATH="$pcdir" pkg-config --static --libs zaxxlib | grep -q -- -lsqlite3
echo "installed library found by find_package and pkg-config"
