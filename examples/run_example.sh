#!/usr/bin/env bash
# Runs one example program the way a user would on a fresh machine, and checks
# what it prints on standard output against examples/expected/NAME.txt.
#   run_example.sh OMIKINIT EXPECTED PROGRAM [ARGUMENT...]
# The program runs in a scratch directory of its own, which is also its
# run-time directory (ZAXXLIB_RUNDIR) and holds its registry
# (ZAXXLIB_REGISTRY_DIR), with the initiator service serving it.
#
# Expected files hold the output line by line; "<...>" in an expected line
# stands for any text (a process id, a time, an address).
set -euo pipefail
omikinit=$1
expected=$2
shift 2
work=$(mktemp -d /tmp/zaxexample.XXXXXX)
svc=
cleanup() {
    if [ -n "$svc" ]; then kill "$svc" 2>/dev/null || true; wait "$svc" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
export ZAXXLIB_RUNDIR=$work
export ZAXXLIB_REGISTRY_DIR=$work/registry
"$omikinit" --foreground --rundir "$work" &
svc=$!
for _ in $(seq 500); do [ -S "$work/ZAX_OMIKINIT" ] && break; sleep 0.01; done
status=0
(cd "$work" && "$@") >"$work/stdout" || status=$?
if [ $status -ne 0 ]; then
    cat "$work/stdout"
    echo "$(basename "$1") ended with status $status"
    exit 1
fi
awk -v expected="$expected" '
    # One expected line as an anchored regular expression: every character
    # stands for itself, except that "<...>" matches any text.
    function pattern(line,    out, i, c, rest) {
        out = "^"
        while (line != "") {
            if (match(line, /^<[^>]*>/)) {
                out = out ".*"
                line = substr(line, RLENGTH + 1)
                continue
            }
            c = substr(line, 1, 1)
            line = substr(line, 2)
            if (index("\\^$.[]|()*+?{}/", c)) out = out "\\" c
            else out = out c
        }
        return out "$"
    }
    BEGIN {
        while ((getline line < expected) > 0) want[++n] = line
    }
    {
        got[++m] = $0
    }
    END {
        bad = 0
        for (i = 1; i <= (n > m ? n : m); ++i) {
            if (i > n) { printf "line %d not expected: %s\n", i, got[i]; bad = 1; break }
            if (i > m) { printf "line %d missing: %s\n", i, want[i]; bad = 1; break }
            if (got[i] !~ pattern(want[i])) {
                printf "line %d differs\n  expected: %s\n  printed:  %s\n", i, want[i], got[i]
                bad = 1
                break
            }
        }
        exit bad
    }' "$work/stdout" || { echo "--- output of $(basename "$1"):"; cat "$work/stdout"; exit 1; }
