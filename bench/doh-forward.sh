#!/usr/bin/env bash
# Forwarding through DNS-over-HTTPS against a local fake HTTP/2 resolver at
# the family resolver's real address, inside a private network namespace:
# TLS connections used by 1,000 sequential queries, forwarded QPS under
# concurrency, and the latency trancad adds over asking the fake directly.
#   bench/doh-forward.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ${TRANCA_BENCH_NETNS:-} != 1 ]]; then
    "$root/scripts/build.sh" release >/dev/null
    exec env TRANCA_BENCH_NETNS=1 unshare -n -m -- "$0" "$@"
fi

source "$root/bench/lib.sh"
bench_scratch /tmp/tranca-doh.XXXXXX

ip link set lo up
for a in 1.1.1.3 1.0.0.3 208.67.222.123 208.67.220.123; do ip addr add "$a/32" dev lo; done
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Prueba CA" \
    -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=1.1.1.3" -keyout "$work/srv.key" \
    -out "$work/srv.csr" 2>/dev/null
echo "subjectAltName=IP:1.1.1.3,IP:1.0.0.3" >"$work/san.ext"
openssl x509 -req -in "$work/srv.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -extfile "$work/san.ext" -out "$work/srv.pem" 2>/dev/null
mount --bind "$work/ca.pem" /etc/ssl/certs/ca-certificates.crt

/usr/bin/python3 "$root/bench/fake_doh_h2.py" 1.1.1.3 "$work/srv.pem" "$work/srv.key" "$work/counts" &
pids+=($!); fake=$!
: >"$work/blocklist.txt"; : >"$work/custom.txt"; : >"$work/allow.txt"
TRANCAD_DIR=$work TRANCAD_PORT=5311 TRANCAD_HTTP=18099 TRANCAD_DNS=0 \
    "$root/build/release/bin/trancad" >"$work/tranca.log" 2>&1 &
pids+=($!)
sleep 2
/usr/bin/python3 -c "
for i in range(1000): print(f'n{i}.ejemplo.test A')" >"$work/seq.txt"
/usr/bin/python3 -c "
for i in range(200000): print(f'c{i}.ejemplo.test A')" >"$work/conc.txt"

counts() { kill -USR1 "$fake"; sleep 0.3; cat "$work/counts"; }
base=$(counts)
seq=$(dnsperf -s 127.0.0.1 -p 5311 -d "$work/seq.txt" -c 1 -q 1 -n 1 2>&1)
after=$(counts)
echo "1000 consultas secuenciales: conexiones TLS nuevas = $(( ${after% *} - ${base% *} )), peticiones = $(( ${after#* } - ${base#* } ))"
echo "  latencia media vía trancad: $(awk '/Average Latency/ {print $4*1000 " ms"}' <<<"$seq")"
# Baseline: the same fake asked directly by curl over one reused connection.
printf '\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x01a\x00\x00\x01\x00\x01' >"$work/q"
echo "  directo con curl (3 peticiones, una conexión), segundos: $(curl -s --http2 --cacert "$work/ca.pem" \
    -H 'content-type: application/dns-message' --data-binary @"$work/q" -o /dev/null -o /dev/null -o /dev/null \
    -w '%{time_total} ' https://1.1.1.3/dns-query https://1.1.1.3/dns-query https://1.1.1.3/dns-query)"
base=$(counts)
conc=$(dnsperf -s 127.0.0.1 -p 5311 -d "$work/conc.txt" -c 4 -T 1 -q 100 -l 15 2>&1)
after=$(counts)
echo "Concurrentes (dnsperf -c 4 -T 1 -q 100 -l 15): $(awk '/Queries per second/ {print $4}' <<<"$conc") QPS reenviadas," \
    "latencia media $(awk '/Average Latency/ {print $4*1000 " ms"}' <<<"$conc"), perdidas $(awk '/Queries lost/ {print $3}' <<<"$conc")," \
    "conexiones TLS nuevas = $(( ${after% *} - ${base% *} ))"
grep -c "SIN RESPUESTA" "$work/tranca.log" | sed 's/^/  líneas SIN RESPUESTA: /' || true
