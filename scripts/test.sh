#!/usr/bin/env bash
# Builds the library and runs every test.
#   scripts/test.sh                  the normal build, in build/
#   scripts/test.sh address|thread   a sanitizer build, in build-<name>/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
san=${1:-}
dir=build${san:+-$san}
# Tests (and, in the normal build, the benchmarks, so that they keep
# compiling) are off in a plain build; turn them on here.
bench=ON
[ -n "$san" ] && bench=OFF
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAXXLIB_SANITIZE="$san" \
      -DZAXXLIB_TESTS=ON -DZAXXLIB_BENCH=$bench >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Every process's thread-sanitizer reports go to one directory: a report in
# a process whose exit status no test looks at fails the run too.
reports=
if [ "$san" = thread ]; then
    reports=$(mktemp -d)
    chmod 1777 "$reports"  # tests also run processes as other users
    export TSAN_OPTIONS="log_path=$reports/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
fi
cd "$dir"
status=0
ctest --output-on-failure -j"$(nproc)" --timeout 300 || status=$?
if [ -n "$reports" ]; then
    if [ -n "$(ls -A "$reports")" ]; then
        cat "$reports"/*
        echo "test.sh: thread-sanitizer reports above" >&2
        status=1
    fi
    rm -rf "$reports"
fi
exit $status
