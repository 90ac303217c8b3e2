#!/usr/bin/env bash
# Checks the relative links of the project's Markdown pages: every linked
# file exists, and every "#anchor" names a heading of its page (anchors as
# GitHub makes them: lower case, punctuation dropped, spaces as hyphens).
set -euo pipefail
root=$1
shift
status=0
declare -A known
# Keeps the anchors of a page's headings, one per line, in known[page].
load_anchors() {
    [ -n "${known[$1]+set}" ] && return
    known[$1]=$(grep -E '^#{1,6} ' "$1" | sed -E 's/^#+ +//' | tr 'A-Z' 'a-z' |
                sed -E 's/[^a-z0-9 _-]//g; s/ /-/g' || true)
}
for page in "$@"; do
    dir=$(dirname "$root/$page")
    # Links outside code spans and blocks: ](target) with no scheme.
    links=$(awk '/^```/ { code = !code; next } !code' "$root/$page" | sed -E 's/`[^`]*`//g' |
            grep -oE '\]\([^) ]+\)' | sed -E 's/^\]\((.*)\)$/\1/' | grep -vE '^[a-z]+:' || true)
    for link in $links; do
        file=${link%%#*}
        anchor=
        [[ $link == *#* ]] && anchor=${link#*#}
        target=$root/$page
        [ -n "$file" ] && target=$dir/$file
        if [ ! -e "$target" ]; then
            echo "$page: $link: no such file"; status=1; continue
        fi
        [ -n "$anchor" ] || continue
        load_anchors "$target"
        if ! grep -qx -- "$anchor" <<<"${known[$target]}"; then
            echo "$page: $link: no such heading"; status=1
        fi
    done
done
exit $status
