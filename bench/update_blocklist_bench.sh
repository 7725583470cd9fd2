#!/usr/bin/env bash
# How long update_blocklist.sh takes to check and swap in a list of N names
# (default 500000, hosts form), from a file:// URL into a temporary data
# directory. Prints the size, the wall time and names per second.
#   bench/update_blocklist_bench.sh [names]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
names=${1:-500000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tranca"
awk -v n="$names" 'BEGIN { print "# lista sintética"; for (i = 0; i < n; i++) printf "0.0.0.0 sitio%d.ejemplo-%d.com\n", i, i % 977 }' >"$work/lista.txt"
bytes=$(stat -c %s "$work/lista.txt")

start=$(date +%s.%N)
TRANCAD_DIR="$work/tranca" TRANCA_BLOCKLIST_URL="file://$work/lista.txt" \
    bash "$root/scripts/installer/update_blocklist.sh" >/dev/null
end=$(date +%s.%N)

awk -v n="$names" -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN {
    t = e - s
    printf "update_blocklist.sh: %d nombres, %.1f MiB, %.2f s, %.0f nombres/s\n", n, b / 1048576, t, n / t
}'
