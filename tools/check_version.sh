#!/usr/bin/env bash
# Checks that everything carrying the library's version agrees with the
# ZAXXLIB_VERSION_* macros of the public header: the version string macro, the
# SONAMEs and file names of the library and its companions, the pkg-config
# file and the CMake package version file.
set -euo pipefail
header=$1
build=$2
part() { sed -nE "s/^#define ZAXXLIB_VERSION_$1 ([0-9]+)$/\1/p" "$header"; }
major=$(part MAJOR) minor=$(part MINOR) patch=$(part PATCH)
version=$major.$minor.$patch
status=0
fail() { echo "$*"; status=1; }
[ -n "$major" ] && [ -n "$minor" ] && [ -n "$patch" ] || { echo "version macros not found"; exit 1; }
grep -qx "#define ZAXXLIB_VERSION_STRING \"$version\"" "$header" ||
    fail "ZAXXLIB_VERSION_STRING is not \"$version\""
for lib in zaxxlib zaxcrash zaxdput zaxredis; do
    file=$build/lib$lib.so.$version
    # The Redis companion is built only where hiredis is installed.
    if [ $lib = zaxredis ] && ! compgen -G "$build/lib$lib.so*" >/dev/null; then continue; fi
    if [ ! -f "$file" ]; then fail "missing $file"; continue; fi
    soname=$(readelf -d "$file" | sed -nE 's/.*\(SONAME\).*\[(.*)\]/\1/p')
    [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib SONAME is '$soname', not lib$lib.so.$major"
done
grep -qx "Version: $version" "$build/zaxxlib.pc" || fail "zaxxlib.pc does not say Version: $version"
grep -qx "Requires.private: sqlite3" "$build/zaxxlib.pc" || fail "zaxxlib.pc lacks Requires.private: sqlite3"
grep -q "set(PACKAGE_VERSION \"$version\")" "$build/zaxxlibConfigVersion.cmake" ||
    fail "zaxxlibConfigVersion.cmake is not version $version"
[ $status -eq 0 ] && echo "version $version everywhere"
exit $status
