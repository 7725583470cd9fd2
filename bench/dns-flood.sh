#!/usr/bin/env bash
# A local program floods trancad with random names under one domain whose
# servers never answer, while another asks ordinary names at 50 q/s: prints
# the share of ordinary lookups answered within 1 s and their p50/p99.
#   bench/dns-flood.sh [seconds] [flood q/s] [trancad ...]   (as root)
# Each binary runs in a private network namespace with fake resolvers at the
# family resolvers' addresses; nothing leaves the machine. Give an older
# build beside the current one to compare.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-10}
rate=${2:-2000}
shift $(($# < 2 ? $# : 2))
binaries=("$@")
if [ ${#binaries[@]} -eq 0 ]; then
    "$root/scripts/build.sh" release >/dev/null
    binaries=("$root/build/release/bin/trancad")
fi
for binary in "${binaries[@]}"; do
    unshare -n -- /usr/bin/python3 "$root/bench/dns_flood.py" "$binary" "$seconds" "$rate"
done
