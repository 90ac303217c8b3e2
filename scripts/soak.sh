#!/usr/bin/env bash
# Runs the soak for longer than the suite's 20 seconds: worker processes on
# one global list and a named lock, killed and started again at random, with
# the initiator service restarted under them.
#   scripts/soak.sh [SECONDS] [WORKERS]     (default 600 seconds, 6 workers)
# Builds the normal build (build/) first; prints the figures at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
seconds=${1:-600}
workers=${2:-6}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAXXLIB_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target zaxsoak
build/tests/zaxsoak --seconds "$seconds" --workers "$workers"
