#!/usr/bin/env bash
# Fails when an object of the static library has a file-scope dynamic
# initialiser (a constructor or an exit-time destructor registered before
# main): the load runs from the library's own constructor, and the order of
# such initialisers between files is not fixed, so the library keeps none.
# The sanitizers' own registrations (with a priority in their name) are not
# the library's.
set -euo pipefail
lib=$1
found=$(nm -A "$lib" 2>/dev/null | grep -E ' _GLOBAL__sub_I_' | grep -vE '_GLOBAL__sub_I_[0-9]{5}_' || true)
if [ -n "$found" ]; then
    echo "file-scope initialisers:"; echo "$found"
    exit 1
fi
echo "no file-scope initialisers in $(basename "$lib")"
