#!/usr/bin/env bash
# Builds the benchmarks in an optimised build and runs them all (or those whose
# binary name matches $1, e.g. "bench_data").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZAXXLIB_BENCH=ON -DZAXXLIB_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)"
export ZAXXLIB_RUNDIR=${ZAXXLIB_RUNDIR:-$(mktemp -d /tmp/zaxbench.XXXXXX)}
for b in build-bench/bench/bench_*; do
    [ -x "$b" ] || continue
    case "$(basename "$b")" in *${1:-}*) ;; *) continue ;; esac
    echo "== $(basename "$b")"
    "$b" --benchmark_counters_tabular=true
done
