#!/bin/bash
# The tests' share of the code: non-blank lines of the tracked sources
# (*.cpp *.h *.sh *.py *.qml, and scripts without a suffix that start with #!),
# tests/ and fuzz/ against everything else but bench/.
#   bench/test-share.sh [commit]     (default: the work tree)
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-}

files() {
    if [ -n "$rev" ]; then git ls-tree -r --name-only "$rev"; else git ls-files -co --exclude-standard; fi
}
text() {
    if [ -n "$rev" ]; then git show "$rev:$1"; else cat "$1"; fi
}

files | while read -r path; do
    [ -n "$rev" ] || [ -f "$path" ] || continue  # deleted in the work tree
    case "$path" in
        *.cpp | *.h | *.sh | *.py | *.qml) ;;
        */*.* | *.*) continue ;;
        *) text "$path" | head -c 2 | grep -q '^#!' || continue ;;
    esac
    printf '%s %s\n' "$(text "$path" | grep -cv '^[[:space:]]*$' || true)" "$path"
done | awk '
    { split($2, part, "/"); top = part[1]; folder = (top == "tests" && part[3] != "") ? top "/" part[2] : top }
    top == "bench" { next }
    top == "tests" || top == "fuzz" { tests += $1; by[folder] += $1; next }
    { code += $1 }
    END {
        for (f in by) printf "  %-22s %6d\n", f, by[f] | "sort"
        close("sort")
        printf "tests and fuzz %d, code %d: %.1f %%\n", tests, code, 100 * tests / code
    }'
