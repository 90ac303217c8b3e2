#!/usr/bin/env bash
# Builds the library and runs the demonstration program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zaxdemo -j"$(nproc)"
exec build/examples/zaxdemo
