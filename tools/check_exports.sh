#!/usr/bin/env bash
# Compares the functions that a built libzaxxlib.so exports with those that
# zaxxlib.h declares; prints the difference and fails when there is one.
set -euo pipefail
lib=$1
header=$2
declared=$(grep -oE '^XAPI[^(]*\b(X[A-Za-z0-9_]*)\(' "$header" | grep -oE 'X[A-Za-z0-9_]*\($' | tr -d '(' | sort -u)
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWw]$/ {print $3}' | grep -E '^X' | sort -u)
other=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRr]$/ {print $3}' | grep -vE '^X|^_init$|^_fini$|^_edata$|^_end$|^__bss_start$' || true)
status=0
if [ "$declared" != "$exported" ]; then
    echo "declared but not exported:"; comm -23 <(echo "$declared") <(echo "$exported")
    echo "exported but not declared:"; comm -13 <(echo "$declared") <(echo "$exported")
    status=1
fi
if [ -n "$other" ]; then
    echo "symbols exported beside the X functions:"; echo "$other"
    status=1
fi
echo "$(echo "$exported" | wc -l) X functions exported"
exit $status
