#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
#   scripts/deps.sh        building, testing and the benchmarks
#   scripts/deps.sh docs   the same and Doxygen, for the reference
#   scripts/deps.sh fuzz   the same and clang with its libFuzzer runtime (scripts/fuzz.sh)
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
      libhiredis-dev redis-server libcli11-dev)
[ "${1:-}" = docs ] && pkgs+=(doxygen)
[ "${1:-}" = fuzz ] && pkgs+=(clang libclang-rt-dev)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -q
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
