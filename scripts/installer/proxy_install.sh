#!/usr/bin/env bash
# Turns Amparo's keyword filter on: mitmdump with Amparo's add-on on
# 127.0.0.1:8080 as tranca-proxy.service, under a user of its own, with a
# certificate authority made on this machine now (its key readable by that
# user alone) and trusted by the system store and by Chromium and Chrome.
# The daemon's self-check then points the system proxy at it. Running it
# again upgrades in place and keeps the authority. No arguments; exit status
# 0 only when the proxy answers.
set -euo pipefail

# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=SCRIPTDIR/proxy_common.sh
source "$HERE/proxy_common.sh"

readonly ANSWER_WAIT_SECONDS=20

find_mitmdump() {
    local candidate
    for candidate in /usr/bin/mitmdump /usr/local/bin/mitmdump; do
        if [[ -x $candidate ]]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 1
}

# The add-on and its lists, beside these scripts in the package and one
# folder over in the source tree.
addon_source() {
    local dir
    for dir in "$HERE/proxy" "$HERE/../proxy"; do
        if [[ -f $dir/amparo_filter.py ]]; then
            (cd "$dir" && pwd)
            return 0
        fi
    done
    return 1
}

ensure_user() {
    id -u "$PROXY_USER" >/dev/null 2>&1 && return 0
    useradd --system --user-group --home-dir "$PROXY_STATE" --no-create-home \
        --shell /usr/sbin/nologin --comment "Amparo, filtro por palabras" "$PROXY_USER" ||
        fail "No se pudo crear el usuario $PROXY_USER para el filtro por palabras."
}

# True when the state directory holds a whole authority: key and certificate
# that belong together, the certificate alone beside them. Read as the proxy's
# user: what root would read there may be a link to anywhere.
authority_whole() {
    local pair=$PROXY_STATE/mitmproxy-ca.pem cert=$PROXY_STATE/mitmproxy-ca-cert.pem
    as_proxy_user test -f "$pair" -a -s "$pair" -a -f "$cert" -a -s "$cert" || return 1
    [[ $(as_proxy_user openssl pkey -in "$pair" -pubout 2>/dev/null) == \
        $(as_proxy_user openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) ]] || return 1
    [[ -n $(as_proxy_user openssl x509 -in "$pair" -noout -subject 2>/dev/null) ]]
}

# A new authority for this machine alone, made by the proxy's user in its own
# folder; the key never leaves it. A half-made one from an interrupted run is
# replaced.
make_authority() {
    authority_whole && return 0
    local subject
    subject="/O=Amparo/CN=Amparo filtro por palabras ($(hostname 2>/dev/null || echo equipo))"
    # shellcheck disable=SC2016 # expanded by the inner shell
    as_proxy_user /bin/bash -c '
        set -euo pipefail
        umask 077
        work=$(mktemp -d "$1/.nueva.XXXXXX")
        trap '\''rm -rf "$work"'\'' EXIT
        openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj "$2" \
            -addext "basicConstraints=critical,CA:TRUE" \
            -addext "keyUsage=critical,keyCertSign,cRLSign" \
            -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
        cat "$work/key.pem" "$work/cert.pem" >"$work/mitmproxy-ca.pem"
        cp "$work/cert.pem" "$work/mitmproxy-ca-cert.pem"
        chmod 0600 "$work/mitmproxy-ca.pem"
        chmod 0644 "$work/mitmproxy-ca-cert.pem"
        # mitmproxy makes its other files from these at start; stale ones from
        # a former authority must not outlive it.
        rm -f "$1"/mitmproxy-ca-cert.{cer,p12} "$1"/mitmproxy-ca.p12
        mv -fT "$work/mitmproxy-ca.pem" "$1/mitmproxy-ca.pem"
        mv -fT "$work/mitmproxy-ca-cert.pem" "$1/mitmproxy-ca-cert.pem"
    ' _ "$PROXY_STATE" "$subject" || return 1
    authority_whole
}

# The uids of the listening sockets that take connections to 127.0.0.1:$1
# (bound to it or to every address), from the kernel's socket tables; the
# addresses as a little-endian machine prints them.
loopback_listener_uids() {
    awk -v port="$(printf '%04X' "$1")" '$4 == "0A" {
        split($2, at, ":")
        if (at[2] == port && (at[1] == "0100007F" || at[1] == "00000000" ||
            at[1] == "0000000000000000FFFF00000100007F" || at[1] == "00000000000000000000000000000000"))
            print $8
    }' /proc/net/tcp /proc/net/tcp6 2>/dev/null || true
}

# True when what answers on the port is the proxy's user's: while mitmdump
# starts, anyone may take the port, and every browser would then send its
# pages to that program.
proxy_port_ours() {
    local owners
    owners=$(loopback_listener_uids "$PROXY_PORT" | sort -u)
    [[ -n $owners && $owners == "$(id -u "$PROXY_USER")" ]]
}

proxy_answers() {
    timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$PROXY_PORT" 2>/dev/null
}

main() {
    require_root
    local mitmdump source
    mitmdump=$(find_mitmdump) ||
        fail "El filtro por palabras usa mitmproxy. Instalalo con apt (en una terminal: sudo apt install mitmproxy) y volvé a activarlo."
    "$mitmdump" --version >/dev/null 2>&1 ||
        fail "mitmproxy está instalado pero no arranca ($mitmdump --version falla). Reinstalalo con: sudo apt install --reinstall mitmproxy, y volvé a activar el filtro."
    source=$(addon_source) || fail "Falta el complemento del filtro (amparo_filter.py) junto a $HERE."
    command -v openssl >/dev/null 2>&1 ||
        fail "Falta openssl para crear el certificado del filtro: sudo apt install openssl."

    # Our own proxy of an earlier run holds the port; anything else is asked
    # to move, as install.sh does for port 53.
    systemctl stop "$PROXY_UNIT" >/dev/null 2>&1 || true
    local who
    who=$(port_squatters tcp "$PROXY_PORT" | sort -u | paste -sd ',' - | sed 's/,/, /g')
    if [[ -n $who ]]; then
        fail "El puerto $PROXY_PORT de 127.0.0.1 ya está ocupado por $who: ahí tiene que escuchar el filtro por palabras. Detenelo o configuralo para que use otro puerto y volvé a activar el filtro."
    fi

    ensure_user
    install -d -m 0700 -o "$PROXY_USER" -g "$PROXY_USER" "$PROXY_STATE"
    make_authority || fail "No se pudo crear el certificado del filtro por palabras en $PROXY_STATE."

    install -d -m 0755 -o root -g root "$DATA_DIR" "$PROXY_ADDON_DIR"
    local part
    for part in amparo_filter.py palabras.txt sin_interceptar.txt; do
        install -m 0644 -o root -g root "$source/$part" "$PROXY_ADDON_DIR/$part" ||
            fail "No se pudo copiar $part a $PROXY_ADDON_DIR."
    done
    [[ -e $DATA_DIR/allow.txt ]] || install -m 0644 -o root -g root /dev/null "$DATA_DIR/allow.txt"
    prepare_log || fail "No se pudo preparar el registro $LOG_FILE."

    trust_authority || fail "No se pudo leer el certificado del filtro por palabras en $PROXY_STATE."
    sed "s|@MITMDUMP@|$mitmdump|" "$HERE/tranca-proxy.service" >"$PROXY_UNIT_FILE.nuevo"
    chmod 0644 "$PROXY_UNIT_FILE.nuevo"
    mv -f "$PROXY_UNIT_FILE.nuevo" "$PROXY_UNIT_FILE"
    local output
    output=$(systemctl daemon-reload 2>&1) || fail "No se pudo recargar systemd: $output"
    output=$(systemctl enable "$PROXY_UNIT" 2>&1) || fail "No se pudo habilitar $PROXY_UNIT: $output"
    output=$(systemctl restart "$PROXY_UNIT" 2>&1) || fail "No se pudo iniciar $PROXY_UNIT: $output"

    wait_until "$ANSWER_WAIT_SECONDS" proxy_answers ||
        fail "El filtro por palabras no responde en 127.0.0.1:$PROXY_PORT tras ${ANSWER_WAIT_SECONDS} s; mirá /var/log/tranca-proxy.log."
    if ! proxy_port_ours; then
        who=$(port_squatters tcp "$PROXY_PORT" | sort -u | paste -sd ',' - | sed 's/,/, /g')
        systemctl stop "$PROXY_UNIT" >/dev/null 2>&1 || true
        fail "Otro programa (${who:-de otro usuario}) tomó el puerto $PROXY_PORT de 127.0.0.1 antes que el filtro por palabras, que no quedó activo. Detenelo y volvé a activar el filtro."
    fi
    echo "Filtro por palabras activo en 127.0.0.1:$PROXY_PORT: reiniciá el navegador."
}

main "$@"
