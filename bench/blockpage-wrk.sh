#!/usr/bin/env bash
# Load on the built-in block page: wrk with 64 connections for 10 s against a
# release trancad on loopback, with the descriptor count before and after.
#   bench/blockpage-wrk.sh [connections] [seconds]
set -euo pipefail

connections=${1:-64}
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release >/dev/null
binary="$root/build/release/bin/trancad"

data=$(mktemp -d)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
dns=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
echo local >"$data/redirect.txt"

TRANCAD_DIR="$data" TRANCAD_PORT="$dns" TRANCAD_HTTP="$port" TRANCAD_DNS=0 \
    "$binary" >"$data/trancad.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$data"' EXIT

for _ in $(seq 50); do
    grep -q "Página de bloqueo escuchando" "$data/trancad.log" && break
    sleep 0.1
done
curl -s -o /dev/null -H 'Host: bloqueado.example' "http://127.0.0.1:$port/"

count_fds() { ls "/proc/$pid/fd" | wc -l; }
before=$(count_fds)
echo "trancad $pid en 127.0.0.1:$port; descriptores antes: $before"
wrk -t 2 -c "$connections" -d "${seconds}s" --latency -H 'Host: bloqueado.example' \
    "http://127.0.0.1:$port/"
during=$(count_fds)
sleep 3
after=$(count_fds)
echo "descriptores al terminar wrk: $during, 3 s después: $after (antes: $before)"
[[ $after -le $before ]] || { echo "los descriptores no volvieron a su valor" >&2; exit 1; }
