#!/usr/bin/env bash
# Checks that every function the shared library exports has documentation in
# the reference (Doxygen's XML output): a member of a topic with a brief
# description and a list of the error codes it records.
set -euo pipefail
lib=$1
xml=$2
status=0
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWw]$/ {print $3}' | grep -E '^X' | sort -u)
for f in $exported; do
    # The member's definition in a topic's page, up to the end of the member.
    member=$(awk -v f="$f" '
        /<memberdef kind="function"/ { inside = 1; text = "" }
        inside { text = text $0 "\n" }
        /<\/memberdef>/ && inside { if (text ~ "<name>" f "</name>") { print text; exit } inside = 0 }
    ' "$xml"/group__*.xml)
    if [ -z "$member" ]; then
        echo "$f: not in any topic of the reference"; status=1; continue
    fi
    if ! grep -q '<briefdescription>' <<<"$member" || grep -q '<briefdescription>[[:space:]]*</briefdescription>' <<<"$member"; then
        echo "$f: no description"; status=1
    fi
    if ! grep -q 'Error codes' <<<"$member"; then
        echo "$f: no error codes"; status=1
    fi
done
[ $status -eq 0 ] && echo "$(wc -w <<<"$exported") exported functions in the reference"
exit $status
