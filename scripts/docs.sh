#!/usr/bin/env bash
# Builds the reference with Doxygen (warnings, undocumented symbols among
# them, fail the build) and checks that every exported function is in it.
# The reference is build/docs/html/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh docs
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target docs zaxxlib -j"$(nproc)"
bash tools/check_reference.sh build/libzaxxlib.so build/docs/xml
