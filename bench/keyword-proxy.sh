#!/usr/bin/env bash
# What the keyword filter's proxy costs: mitmdump with Amparo's add-on, started
# as the service starts it, against a plain-HTTP origin on loopback. Prints the
# latency it adds to a ~50 KB clean page, the throughput of a 100 MB download,
# wrk's requests/s with 64 connections and the proxy's memory idle and loaded.
#   bench/keyword-proxy.sh [runs]     (median of runs, default 3)
# Plain HTTP so that TLS handshakes do not hide the add-on's own cost.
set -euo pipefail

unset http_proxy HTTP_PROXY all_proxy ALL_PROXY  # "directo" must be direct
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
py=/usr/bin/python3
helper="$root/bench/keyword_proxy.py"
source "$root/bench/lib.sh"
bench_scratch /tmp/amparo-proxy.XXXXXX

free_port() { $py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
origin=$(free_port)
proxy=$(free_port)
mkdir -p "$work/tranca" "$work/conf"
: >"$work/tranca/allow.txt"
: >"$work/amparo.log"

$py "$helper" serve "$origin" &
pids+=($!)
AMPARO_TRANCA_DIR="$work/tranca" AMPARO_LOG="$work/amparo.log" \
    AMPARO_BLOCKPAGE="http://127.0.0.1:$origin/" \
    /usr/bin/mitmdump --quiet --listen-host 127.0.0.1 --listen-port "$proxy" \
    --set confdir="$work/conf" --set stream_large_bodies=2m \
    -s "$root/scripts/proxy/amparo_filter.py" >"$work/mitmdump.log" 2>&1 &
pids+=($!); pid_proxy=$!

page="http://127.0.0.1:$origin/page.html"
for _ in $(seq 100); do
    curl -sf -o /dev/null --proxy "http://127.0.0.1:$proxy" "$page" && break
    sleep 0.1
done
curl -sf -o /dev/null --proxy "http://127.0.0.1:$proxy" "$page" ||
    { echo "el proxy no arrancó:" >&2; cat "$work/mitmdump.log" >&2; exit 1; }

mem() { awk -v k="$1:" '$1 == k {printf "%.1f", $2 / 1024}' "/proc/$pid_proxy/status"; }
sleep 1
idle_rss=$(mem VmRSS); idle_hwm=$(mem VmHWM)

# wrk cannot talk to a proxy, but a plain-HTTP proxy takes the absolute URL in
# the request line: wrk connects to the proxy and asks for the origin's page.
cat >"$work/proxy.lua" <<LUA
wrk.path = "$page"
wrk.headers["Host"] = "127.0.0.1:$origin"
LUA
rps() {  # wrk arguments...
    local out
    out=$(wrk -t 2 -c 64 -d 10s "$@")
    if grep -q -e "Non-2xx" -e "Socket errors" <<<"$out"; then
        echo "wrk tuvo errores:" >&2; echo "$out" >&2; exit 1
    fi
    awk '/Requests\/sec/ {print $2}' <<<"$out"
}
speed() {  # curl arguments... -> MB/s
    curl -sf -o /dev/null -w '%{speed_download}' "$@" "http://127.0.0.1:$origin/big.bin" |
        awk '{printf "%.1f", $1 / 1e6}'
}

d50=(); d99=(); p50=(); p99=(); dmb=(); pmb=(); drps=(); prps=(); load_rss=()
for run in $(seq 1 "$runs"); do
    echo "Ejecución $run de $runs..." >&2
    out=$($py "$helper" latency "$origin" 500); read -r a b <<<"$out"; d50+=("$a"); d99+=("$b")
    out=$($py "$helper" latency "$origin" 500 "$proxy"); read -r a b <<<"$out"; p50+=("$a"); p99+=("$b")
    dmb+=("$(speed)")
    pmb+=("$(speed --proxy "http://127.0.0.1:$proxy")")
    drps+=("$(rps "$page")")
    (sleep 8; mem VmRSS >"$work/rss") &
    sampler=$!
    prps+=("$(rps -s "$work/proxy.lua" "http://127.0.0.1:$proxy")")
    wait "$sampler"
    load_rss+=("$(cat "$work/rss")")
done
load_hwm=$(mem VmHWM)
[ ! -s "$work/amparo.log" ] || { echo "el filtro bloqueó la página limpia" >&2; exit 1; }

med() { $py "$helper" median "$@"; }
row() {  # name direct proxy
    awk -v n="$1" -v d="$2" -v p="$3" 'BEGIN {printf "%-28s %10.2f %10.2f %+11.2f\n", n, d, p, p - d}'
}
echo
printf "%-28s %10s %10s %11s\n" medida directo proxy diferencia
row "página 50 KB p50 (ms)" "$(med "${d50[@]}")" "$(med "${p50[@]}")"
row "página 50 KB p99 (ms)" "$(med "${d99[@]}")" "$(med "${p99[@]}")"
row "descarga 100 MB (MB/s)" "$(med "${dmb[@]}")" "$(med "${pmb[@]}")"
row "wrk 64 conexiones (req/s)" "$(med "${drps[@]}")" "$(med "${prps[@]}")"
echo
printf "%-28s %10s %10s\n" "memoria del proxy" "VmRSS MiB" "VmHWM MiB"
printf "%-28s %10.1f %10.1f\n" "en reposo" "$idle_rss" "$idle_hwm"
printf "%-28s %10.1f %10.1f\n" "con 64 conexiones" "$(med "${load_rss[@]}")" "$load_hwm"
echo
echo "(mediana de $runs ejecuciones: 500 GET seguidos con keep-alive de una página limpia"
echo " de $(curl -s "$page" | wc -c) bytes, una descarga de 100 MB con curl y wrk -t 2 -c 64 -d 10s;"
echo " VmRSS con carga tomado a los 8 s de wrk, VmHWM al final; origen HTTP en loopback)"
