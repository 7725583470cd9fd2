#!/usr/bin/env bash
# Installs or upgrades Amparo's filter: copies trancad and update_blocklist.sh
# into /var/lib/tranca, keeps the user's lists, fetches the block list when
# there is none, writes and (re)starts tranca.service, turns the browsers' own
# DNS over HTTPS off with managed policies, points the machine's DNS at the
# filter and checks that the filter answers. Running it again upgrades in
# place. No arguments; exit status 0 only when the filter answers.
set -euo pipefail

# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# How long the freshly started daemon gets to answer the status name.
readonly ANSWER_WAIT_SECONDS=20

check_ports() {
    local who
    who=$( (port_squatters udp 53; port_squatters tcp 53) | sort -u | paste -sd ',' - | sed 's/,/, /g')
    if [[ -n $who ]]; then
        local hint="Detenelo o configuralo para que no escuche en 127.0.0.1:53 y volvé a activar la protección."
        if [[ $who == *dnsmasq* ]]; then
            hint="Si es el dnsmasq de NetworkManager (dns=dnsmasq en /etc/NetworkManager/NetworkManager.conf), cambialo a dns=default o dns=systemd-resolved, reiniciá NetworkManager y volvé a activar la protección. $hint"
        fi
        fail "El puerto 53 de 127.0.0.1 ya está ocupado por $who: ahí tiene que responder el filtro de Amparo. $hint"
    fi
    who=$(port_squatters tcp 80 | sort -u | paste -sd ',' - | sed 's/,/, /g')
    if [[ -n $who ]]; then
        fail "El puerto 80 de 127.0.0.1 ya está ocupado por $who: ahí Amparo muestra la página de bloqueo. Configurá ese servidor web para que no escuche en 127.0.0.1:80 (por ejemplo, solo en otra dirección) o detenelo, y volvé a activar la protección."
    fi
}

# Copies a file into place by rename, so the running daemon or a reader never
# sees half a file. Does nothing when the content is already there.
put_file() {
    local source=$1 target=$2 mode=$3 staged
    if [[ -f $target ]] && cmp -s "$source" "$target"; then
        chmod "$mode" "$target"
        return 0
    fi
    staged=$(mktemp "$(dirname "$target")/.nuevo.XXXXXX")
    if ! install -m "$mode" -o root -g root "$source" "$staged" || ! mv -f "$staged" "$target"; then
        rm -f "$staged"
        fail "No se pudo copiar $source a $target."
    fi
}

# A NetworkManager that hands DNS to systemd-resolved takes the global DNS
# configuration but never passes it on (NetworkManager 1.42 of Debian 12, seen
# on a booted system): the machine would keep asking its own servers around
# the filter. Better refused, with the way out, before anything is touched.
check_resolver() {
    local mode
    mode=$(busctl --timeout=5 get-property org.freedesktop.NetworkManager \
        /org/freedesktop/NetworkManager/DnsManager org.freedesktop.NetworkManager.DnsManager \
        Mode 2>/dev/null) || return 0
    if [[ $mode == 's "systemd-resolved"' ]]; then
        fail "NetworkManager entrega el DNS de este equipo a systemd-resolved, que no aplica el DNS del filtro: así Amparo no podría proteger el equipo. Desactivá systemd-resolved (sudo systemctl disable --now systemd-resolved), reemplazá el enlace /etc/resolv.conf por un archivo común (sudo rm /etc/resolv.conf), reiniciá NetworkManager (sudo systemctl restart NetworkManager) y volvé a activar la protección."
    fi
}

show_log_tail() {
    if [[ -s $LOG_FILE ]]; then
        echo "Últimas líneas de $LOG_FILE:" >&2
        tail -n 15 "$LOG_FILE" >&2
    fi
}

# The filter does not answer: the machine must not stay pointed at a dead
# 127.0.0.1. The backup family resolvers keep it working and filtered; the
# service stays enabled, so it is retried, and disable.sh or uninstall.sh
# still give back the recorded DNS.
give_up() {
    show_log_tail
    run_tool "$DATA_DIR/trancad" --dns respaldo >/dev/null 2>&1 || true
    flush_caches
    fail "$* Mientras tanto el equipo usa los resolvedores familiares de respaldo."
}

main() {
    require_root

    local trancad
    trancad=$(shipped_trancad)
    [[ -n $trancad ]] || fail "Falta el programa trancad junto a $HERE (compilalo con scripts/build.sh release o usá el paquete)."
    for part in update_blocklist.sh tranca.service; do
        [[ -f $HERE/$part ]] || fail "Falta $part junto a $HERE."
    done
    if [[ -L $UNIT_FILE && $(readlink "$UNIT_FILE") == /dev/null ]]; then
        fail "El servicio $UNIT_NAME está enmascarado (systemctl mask), así que el sistema no lo deja arrancar. Quitá la máscara con: sudo systemctl unmask $UNIT_NAME, y volvé a activar la protección."
    fi
    # trancad's own sockets do not count, so an upgrade passes this check.
    check_ports
    check_resolver

    install -d -m 0755 -o root -g root "$DATA_DIR"
    prepare_log || fail "No se pudo preparar el registro $LOG_FILE."
    put_file "$trancad" "$DATA_DIR/trancad" 0755
    put_file "$HERE/update_blocklist.sh" "$DATA_DIR/update_blocklist.sh" 0755
    local list
    for list in custom.txt allow.txt; do
        if [[ ! -e $DATA_DIR/$list ]]; then
            install -m 0644 -o root -g root /dev/null "$DATA_DIR/$list"
        fi
    done
    if [[ ! -s $DATA_DIR/blocklist.txt ]]; then
        echo "Descargando la lista de bloqueo…"
        if ! bash "$DATA_DIR/update_blocklist.sh"; then
            echo "Aviso: la protección se activa sin la lista descargada (los resolvedores familiares y tu lista propia siguen filtrando). Actualizá la lista más tarde." >&2
        fi
    fi

    put_file "$HERE/tranca.service" "$UNIT_FILE" 0644
    # The package ships the rotation rule as a configuration file, which the
    # administrator may have edited: it is only put in place when missing
    # (an installation from the source tree, or after uninstall.sh).
    if [[ ! -e $LOGROTATE_FILE ]]; then
        if [[ -f $HERE/tranca.logrotate ]]; then
            install -d -m 0755 -o root -g root "${LOGROTATE_FILE%/*}"
            put_file "$HERE/tranca.logrotate" "$LOGROTATE_FILE" 0644
        else
            echo "Aviso: falta tranca.logrotate junto a $HERE, así que $LOG_FILE no se va a rotar." >&2
        fi
    fi
    local output
    output=$(systemctl daemon-reload 2>&1) || fail "No se pudo recargar systemd: $output"
    output=$(systemctl enable "$UNIT_NAME" 2>&1) || fail "No se pudo habilitar $UNIT_NAME: $output"
    # From here on the service is enabled, so the protection counts as on even
    # if the daemon fails below: the browsers must not walk around it meanwhile.
    lock_browser_doh

    # Recording the DNS as it is now has to come before the daemon runs: once
    # it runs, its stop routine may put the backup resolvers there, and those
    # are no record of what the machine had.
    run_tool "$DATA_DIR/trancad" --dns local || fail "No se pudo apuntar el DNS al filtro (trancad --dns local)."

    # A restart is no silent stop: the trusted person hears nothing of it.
    run_tool "$DATA_DIR/trancad" --aviso reinicio >/dev/null 2>&1 || true
    output=$(systemctl restart "$UNIT_NAME" 2>&1) || {
        give_up "No se pudo iniciar $UNIT_NAME: $output"
    }
    wait_until "$ANSWER_WAIT_SECONDS" filter_answers ||
        give_up "El filtro no responde en 127.0.0.1:53 tras ${ANSWER_WAIT_SECONDS} s: la protección no quedó activa."

    # The daemon that was replaced switched to the backup resolvers as it
    # stopped; the new one would switch back within its first check.
    run_tool "$DATA_DIR/trancad" --dns local || fail "No se pudo apuntar el DNS al filtro (trancad --dns local)."
    flush_caches
    filter_answers || give_up "El filtro dejó de responder en 127.0.0.1:53 después de apuntar el DNS."

    echo "Protección activa: el filtro responde en 127.0.0.1:53."
    # The DNS lock is an addition: without libnftables or a kernel with
    # nf_tables the filter works all the same, and the user is told.
    if wait_until 5 dns_locked; then
        echo "Bloqueo de DNS activo: ningún programa resuelve nombres por fuera del filtro."
    else
        echo "Aviso: $("$DATA_DIR/trancad" --dns estado 2>&1 | sed -n 's/^Bloqueo de DNS: //p'): un programa con su propio resolvedor puede saltarse el filtro."
    fi
    if [[ $(getent ahostsv4 "$STATUS_NAME" 2>/dev/null | awk 'NR == 1 { print $1 }') != "$STATUS_ADDRESS" ]]; then
        echo "Aviso: este equipo todavía no resuelve a través del filtro; revisá el DNS con: $DATA_DIR/trancad --dns estado"
    fi
}

main "$@"
