#!/usr/bin/env bash
# Prints which folders of tevo/src include headers of which other folders
# ("include" is tevo/include, the public headers), one edge per line with the
# number of include lines behind it, and fails when the edges form a cycle.
# Usage: tools/include-graph.sh
set -euo pipefail
cd "$(dirname "$0")/../tevo/src"

edges=$(
    grep -rHo --include='*.cpp' --include='*.h' --include='*.c' '^#include "[^"]*"' . |
    sed -E 's|^\./||; s|:#include "| |; s|"$||' |
    while read -r file header; do
        from=$(dirname "$file")
        case "$header" in
            */*) to=$(dirname "$header") ;;
            *)   to=include ;;
        esac
        if [ "$from" != "$to" ]; then
            echo "$from $to"
        fi
    done | sort | uniq -c | awk '{ print $2 " -> " $3 "  (" $1 ")" }'
)
echo "$edges"

# tsort names the folders of a loop on standard error
if ! loops=$(echo "$edges" | awk '{ print $1, $3 }' | tsort 2>&1 >/dev/null) || [ -n "$loops" ]; then
    echo "$loops" >&2
    echo "include cycle between folders" >&2
    exit 1
fi
echo "no cycles"
