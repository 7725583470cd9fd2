#!/usr/bin/env bash
# The answer cache against the resolvers people already run, in a private
# network namespace: a fake family resolver (bench/fake_slow_dns.py) answers
# after 30 ms with TTLs of 30 s to 1 h; a trace of lookups over names of
# Zipf-like popularity is replayed at a fixed rate through trancad with its
# cache, trancad with TRANCAD_CACHE=0, unbound (as installed, then with its
# prefetch on) and dnsmasq forwarding to the same fake. Mean and p99 latency,
# upstream queries, resident memory; then cache hits at 10k QPS, and the
# cache's bound after 1M unique names.
#   bench/answer-cache.sh [lookups] [names] [qps]   (default 100000 20000 2000)
# trancad asks HTTPS first; nothing listens on 443 here, so it falls back to
# plain DNS at once, as the others use.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${TRANCA_BENCH_NETNS:-} != 1 ]]; then
    cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$root/build/release" --target trancad cache_memory_bench >/dev/null
    exec env TRANCA_BENCH_NETNS=1 unshare -n -m -- "$0" "$@"
fi
lookups=${1:-100000} names=${2:-20000} qps=${3:-2000}

source "$root/bench/lib.sh"
bench_scratch /tmp/tranca-cache.XXXXXX
ip link set lo up
for a in 1.1.1.3 1.0.0.3 208.67.222.123 208.67.220.123; do ip addr add "$a/32" dev lo; done
/usr/bin/python3 "$root/bench/fake_slow_dns.py" "$work/counts" 30 &
pids+=($!); fake=$!
: >"$work/blocklist.txt"; : >"$work/custom.txt"; : >"$work/allow.txt"

python3 - "$work" "$lookups" "$names" <<'PY'
import random, sys
work, lookups, names = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(7)
weights = [1 / rank for rank in range(1, names + 1)]
with open(f"{work}/trace.txt", "w") as f:
    for rank in random.choices(range(names), weights, k=lookups):
        f.write(f"n{rank}.traza.prueba A\n")
with open(f"{work}/hot.txt", "w") as f:
    for rank in range(200):
        f.write(f"n{rank}.traza.prueba A\n")
PY
cat >"$work/unbound.conf" <<CONF
server:
    interface: 127.0.0.1
    port: 5323
    num-threads: 2
    do-daemonize: no
    chroot: ""
    username: ""
    directory: "$work"
    pidfile: ""
    use-syslog: no
    logfile: ""
    verbosity: 0
    access-control: 127.0.0.0/8 allow
    do-ip6: no
    do-not-query-localhost: no
forward-zone:
    name: "."
    forward-addr: 1.1.1.3
    forward-addr: 1.0.0.3
CONF

upstream() { kill -USR1 "$fake"; sleep 0.3; cat "$work/counts"; }
start() {  # name port command...
    "${@:3}" >"$work/$1.log" 2>&1 &
    pids+=($!); pid=$!
    for _ in $(seq 1 100); do
        dig @127.0.0.1 -p "$2" +tries=1 +time=1 arranque.test >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    echo "$1 no arrancó" >&2
    return 1
}
# Per-query latencies from dnsperf -v: mean and p99 in ms, and what was lost.
latency() {  # file
    awk '/^> / {print $NF} /Queries lost/ {print "lost", $3}' "$1" | python3 -c '
import sys
lat, lost = [], "?"
for line in sys.stdin:
    if line.startswith("lost"): lost = line.split()[1]
    else: lat.append(float(line) * 1000)
lat.sort()
print(f"{sum(lat) / len(lat):9.3f} {lat[len(lat) * 99 // 100]:9.3f} {lost:>7s}")'
}
run() {  # name port
    local before
    before=$(upstream)
    dnsperf -s 127.0.0.1 -p "$2" -d "$work/trace.txt" -n 1 -c 4 -T 1 -q 500 -Q "$qps" -v \
        >"$work/$1.dnsperf" 2>&1
    printf "%-16s %s %9d %8.1f\n" "$1" "$(latency "$work/$1.dnsperf")" \
        $(($(upstream) - before)) "$(awk '/VmRSS/ {print $2 / 1024}' "/proc/$pid/status")"
}

echo "Traza: $lookups consultas, $names nombres (Zipf), $qps consultas/s, upstream a 30 ms"
printf "%-16s %9s %9s %7s %9s %8s\n" servidor "media ms" "p99 ms" perdidas upstream "RSS MiB"
start trancad 5321 env TRANCAD_DIR="$work" TRANCAD_PORT=5321 TRANCAD_HTTP=18121 TRANCAD_DNS=0 \
    "$root/build/release/bin/trancad"
run trancad 5321
trancad_pid=$pid
start sin-cache 5322 env TRANCAD_DIR="$work" TRANCAD_PORT=5322 TRANCAD_HTTP=18122 TRANCAD_DNS=0 \
    TRANCAD_CACHE=0 "$root/build/release/bin/trancad"
run "TRANCAD_CACHE=0" 5322
start unbound 5323 unbound -d -c "$work/unbound.conf"
run unbound 5323
kill "$pid"
# unbound refreshes nothing early unless told to; like for like with trancad's
# prefetch, which pays for never letting a popular name expire with a few
# more upstream queries.
sed 's/^server:$/server:\n    prefetch: yes/' "$work/unbound.conf" >"$work/unbound-prefetch.conf"
start unbound-prefetch 5323 unbound -d -c "$work/unbound-prefetch.conf"
run "unbound prefetch" 5323
start dnsmasq 5324 dnsmasq --keep-in-foreground --port=5324 --no-resolv --no-hosts \
    --bind-interfaces --listen-address=127.0.0.1 --server=1.1.1.3 --server=1.0.0.3 \
    --cache-size=10000 --user=root --pid-file=
run dnsmasq 5324

echo
pid=$trancad_pid
dnsperf -s 127.0.0.1 -p 5321 -d "$work/hot.txt" -n 1 >/dev/null 2>&1
dnsperf -s 127.0.0.1 -p 5321 -d "$work/hot.txt" -c 4 -T 1 -q 200 -Q 10000 -l 10 -v \
    >"$work/hits.dnsperf" 2>&1
echo "trancad, aciertos a 10k QPS (200 nombres en caché, 10 s): media y p99 ms, perdidas: $(latency "$work/hits.dnsperf")"
echo "  QPS logradas: $(awk '/Queries per second/ {print $4}' "$work/hits.dnsperf")"
"$root/build/release/bin/cache_memory_bench"
