#!/usr/bin/env bash
# Checks the systemd units of the initiator service as built: their sandbox
# scores an exposure of at most 5.0 in systemd-analyze security, and the man
# page renders without warnings. Skipped (77) without systemd-analyze.
#   check_units.sh BUILD_DIR MAN_PAGE
set -euo pipefail
build=$1
man_page=$2
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze is not installed: skipped"
    exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$build/omikinit.service" "$dir/"
# A template is analysed through one of its instances.
cp "$build/omikinit@.service" "$dir/omikinit@dev-shm-zaxxlib\\x2dcheck.service"
cd "$dir"
for unit in *.service; do
    systemd-analyze security --offline=true --threshold=50 "$unit" | tail -1
done
if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null || true)
    if [ -n "$warnings" ]; then
        echo "$warnings"
        exit 1
    fi
fi
