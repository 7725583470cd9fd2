#!/usr/bin/env bash
# The demo: builds trancad and runs it in the foreground on unprivileged ports,
# never touching this machine's network settings. With a display, Amparo runs
# beside it, showing this machine's real state, until the demo ends.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" release

data="$root/var/tranca"
mkdir -p "$data"
if [[ ! -e "$data/blocklist.txt" ]]; then
    cat >"$data/blocklist.txt" <<'LIST'
# Lista de ejemplo para la demostración (formato de archivo hosts o un nombre por línea)
0.0.0.0 ejemplo-adulto.com
0.0.0.0 sitio-bloqueado.net
bloqueado.example
LIST
fi
touch "$data/custom.txt" "$data/allow.txt"
# The demo shows the built-in block page rather than redirecting away.
[[ -e "$data/redirect.txt" ]] || echo local >"$data/redirect.txt"

cat <<INFO
Amparo (demostración): trancad en primer plano, sin tocar la red de este equipo.
  datos:            $data
  DNS:              127.0.0.1:5353
  página de bloqueo: 127.0.0.1:8053
Probalo desde otra terminal:
  dig @127.0.0.1 -p 5353 sitio-bloqueado.net
  dig @127.0.0.1 -p 5353 estado.amparo.internal
  dig @127.0.0.1 -p 5353 www.google.com      (SafeSearch)
  (sin internet, los nombres reenviados terminan en SERVFAIL)
  curl -H 'Host: sitio-bloqueado.net' http://127.0.0.1:8053/
  abrí http://127.0.0.1:8053/ en el navegador para ver la página de bloqueo
  (destino en $data/redirect.txt: "local" o una dirección https://…)
Editá $data/custom.txt y en un minuto se recarga. Ctrl+C para terminar.
Capturas de la ventana de Amparo en cada estado: ./scripts/capture.sh
  (las deja en docs/capturas/*.png)
INFO

if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    # Amparo watches the filter installed on this machine, not the demo: where
    # there is none it shows it as not installed.
    amparo_log="$root/var/amparo.log"
    "$root/build/release/lib/amparo/Amparo" >"$amparo_log" 2>&1 &
    amparo_pid=$!
    # Background jobs of a script ignore Ctrl+C, so the demo's end stops it.
    trap 'kill "$amparo_pid" 2>/dev/null || true' EXIT
    echo "Amparo (bandeja y ventana) observa este equipo; mensajes en $amparo_log"
else
    echo "Sin pantalla (ni DISPLAY ni WAYLAND_DISPLAY): Amparo no se abre."
fi
echo

export TRANCAD_DIR="$data" TRANCAD_PORT=5353 TRANCAD_HTTP=8053 TRANCAD_DNS=0
"$root/build/release/bin/trancad"
