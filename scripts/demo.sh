#!/usr/bin/env bash
# Builds the library and runs the demonstration program, with the initiator
# service running in a run-time directory of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zaxdemo omikinit -j"$(nproc)"
export ZAXXLIB_RUNDIR=$(mktemp -d /tmp/zaxdemo.XXXXXX)
export ZAXXLIB_REGISTRY_DIR=$ZAXXLIB_RUNDIR/registry
build/SRC/OMIKINIT/omikinit/omikinit --foreground --rundir "$ZAXXLIB_RUNDIR" &
svc=$!
trap 'kill $svc 2>/dev/null; wait $svc 2>/dev/null; rm -rf "$ZAXXLIB_RUNDIR"' EXIT
for _ in $(seq 100); do [ -S "$ZAXXLIB_RUNDIR/ZAX_OMIKINIT" ] && break; sleep 0.05; done
build/examples/zaxdemo
