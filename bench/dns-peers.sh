#!/usr/bin/env bash
# Blocked-name load against trancad, dnsmasq, unbound and a bare echo server,
# all with the same 1M-name synthetic list and the same dnsperf run; prints
# QPS, average and max latency and resident memory side by side.
#   bench/dns-peers.sh [runs]     (median of runs, default 3)
#   TRANCAD_BEFORE=/path/to/older/trancad bench/dns-peers.sh   adds that build
#   as "antes" to the same run, for a before/after figure.
# Loopback only; nothing leaves the machine.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
source "$root/bench/lib.sh"
bench_scratch /tmp/tranca-peers.XXXXXX

"$root/scripts/build.sh" release >/dev/null
cc -O2 -o "$work/echo" "$root/bench/echo_server.c"

echo "Generando la lista de 1M nombres..."
python3 - "$work" <<'PY'
import random, sys
work = sys.argv[1]
names = [f"sitio{i}.dominio{i % 997}.test" for i in range(1_000_000)]
with open(f"{work}/blocklist.txt", "w") as f:
    f.write("\n".join(names) + "\n")
with open(f"{work}/dnsmasq.conf", "w") as f:
    f.write("no-resolv\nno-hosts\nbind-interfaces\nlisten-address=127.0.0.1\ncache-size=10000\n")
    for n in names:
        f.write(f"address=/{n}/127.0.0.1\n")
with open(f"{work}/unbound-zones.conf", "w") as f:
    for n in names:
        f.write(f'local-zone: "{n}." redirect\nlocal-data: "{n}. 60 IN A 127.0.0.1"\n')
random.seed(7)
with open(f"{work}/queries.txt", "w") as f:
    for n in random.sample(names, 100_000):
        f.write(f"www.{n} A\n")
PY
: >"$work/custom.txt"
: >"$work/allow.txt"
cat >"$work/unbound.conf" <<CONF
server:
    interface: 127.0.0.1
    port: 5313
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
    so-reuseport: yes
    incoming-num-tcp: 128
    include: "$work/unbound-zones.conf"
CONF

wait_port() {  # port
    for _ in $(seq 1 600); do
        if dig @127.0.0.1 -p "$1" +tries=1 +time=1 sitio1.dominio1.test >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.5
    done
    echo "el servidor en $1 no arrancó" >&2
    return 1
}

echo "Arrancando servidores (unbound y dnsmasq tardan en cargar 1M entradas)..."
TRANCAD_DIR=$work TRANCAD_PORT=5311 TRANCAD_HTTP=18099 TRANCAD_DNS=0 \
    "$root/build/release/bin/trancad" >"$work/tranca.log" 2>&1 &
pids+=($!); pid_tranca=$!
dnsmasq --keep-in-foreground --port=5312 --conf-file="$work/dnsmasq.conf" --user=root \
    --pid-file= >/dev/null 2>&1 &
pids+=($!); pid_dnsmasq=$!
unbound -d -c "$work/unbound.conf" >/dev/null 2>&1 &
pids+=($!); pid_unbound=$!
"$work/echo" 5314 &
pids+=($!); pid_echo=$!
ports=(5311 5312 5313 5314)
if [ -n "${TRANCAD_BEFORE:-}" ]; then
    mkdir -p "$work/antes"
    cp "$work"/{blocklist,custom,allow}.txt "$work/antes/"
    TRANCAD_DIR=$work/antes TRANCAD_PORT=5315 TRANCAD_HTTP=18098 TRANCAD_DNS=0 \
        "$TRANCAD_BEFORE" >"$work/antes.log" 2>&1 &
    pids+=($!); pid_before=$!
    ports+=(5315)
fi
for port in "${ports[@]}"; do wait_port "$port"; done

measure() {  # name port pid [dnsperf options]
    local qps=() lat=() max=()
    local options=("${@:4}")
    [ ${#options[@]} -gt 0 ] || options=(-c 4)
    for _ in $(seq 1 "$runs"); do
        out=$(dnsperf -s 127.0.0.1 -p "$2" -d "$work/queries.txt" "${options[@]}" -T 1 -q 200 \
            -l 20 2>&1)
        qps+=("$(awk '/Queries per second/ {print $4}' <<<"$out")")
        lat+=("$(awk '/Average Latency/ {print $4}' <<<"$out")")
        max+=("$(awk '/Average Latency/ {gsub(/\)/, "", $8); print $8}' <<<"$out")")
        lost=$(awk '/Queries lost/ {print $3}' <<<"$out")
    done
    local rss
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$3/status")
    python3 - "$1" "$rss" "$lost" "${qps[*]}" "${lat[*]}" "${max[*]}" <<'PY'
import statistics, sys
name, rss, lost = sys.argv[1:4]
qps, lat, mx = ([float(x) for x in a.split()] for a in sys.argv[4:7])
i = sorted(range(len(qps)), key=lambda k: qps[k])[len(qps) // 2]
print(f"{name:10s} {qps[i]:>10.0f} {lat[i]*1e3:>10.3f} {mx[i]*1e3:>10.3f} {int(rss)/1024:>9.1f}  {lost:>8s}")
PY
}

echo
printf "%-10s %10s %10s %10s %9s  %8s\n" servidor QPS "lat med ms" "lat máx ms" "RSS MiB" perdidas
measure echo 5314 "$pid_echo"
measure trancad 5311 "$pid_tranca"
if [ -n "${TRANCAD_BEFORE:-}" ]; then measure antes 5315 "$pid_before"; fi
measure unbound 5313 "$pid_unbound"
measure dnsmasq 5312 "$pid_dnsmasq"
# TCP: 64 connections kept open, each with queries in flight (no echo
# server: it only speaks UDP).
measure "trancad/tcp" 5311 "$pid_tranca" -m tcp -c 64
measure "unbound/tcp" 5313 "$pid_unbound" -m tcp -c 64
echo
echo "(mediana de $runs ejecuciones de: dnsperf -c 4 -T 1 -q 200 -l 20, por TCP -m tcp -c 64;"
echo " nombres bloqueados al azar de la lista)"
