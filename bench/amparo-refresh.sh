#!/usr/bin/env bash
# Measures a refresh of Amparo while a real trancad answers: trancad (release)
# on 127.0.0.1:53 of a private network and mount namespace whose resolv.conf
# points at it, then refresh_bench there. Needs root (for the namespaces) and
# scripts/build.sh release.
#   bench/amparo-refresh.sh [names in the block list, default 1000000]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/release/bin
names=${1:-1000000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/datos"
echo "nameserver 127.0.0.1" >"$work/resolv.conf"

unshare -n -m -- /bin/bash -s "$bin" "$work" "$names" <<'INSIDE'
set -euo pipefail
bin=$1 work=$2 names=$3
ip link set lo up
mount --bind "$work/resolv.conf" /etc/resolv.conf
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
TRANCAD_DIR=$work/datos TRANCAD_DNS=0 "$bin/trancad" >"$work/trancad.log" 2>&1 &
daemon=$!
trap 'kill $daemon 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    dig +short +time=1 +tries=1 @127.0.0.1 estado.amparo.internal | grep -q 127.0.0.2 && break
    sleep 0.1
done
"$bin/refresh_bench" "$work/banco" "$names"
INSIDE
