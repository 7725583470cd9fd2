#!/usr/bin/env bash
# Turns Amparo's keyword filter off: stops and removes tranca-proxy.service,
# takes its certificate authority out of every store it was put in and
# deletes it with its key. The daemon's self-check then turns the system
# proxy off. Harmless when run twice or without a prior install. No
# arguments; exit status 0 when nothing of the filter is left.
set -euo pipefail

# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# shellcheck source=SCRIPTDIR/proxy_common.sh
source "$HERE/proxy_common.sh"

main() {
    require_root
    local output
    if [[ -e $PROXY_UNIT_FILE || -L $PROXY_UNIT_FILE ]]; then
        tell_trusted_person filtro-palabras-desactivado
        output=$(systemctl disable --now "$PROXY_UNIT" 2>&1) ||
            fail "No se pudo detener $PROXY_UNIT: $output"
        rm -f "$PROXY_UNIT_FILE"
        output=$(systemctl daemon-reload 2>&1) || fail "No se pudo recargar systemd: $output"
        systemctl reset-failed "$PROXY_UNIT" >/dev/null 2>&1 || true
    fi
    untrust_authority
    rm -rf "$PROXY_ADDON_DIR" "$PROXY_STATE" ||
        fail "No se pudo borrar $PROXY_STATE (el certificado del filtro)."
    if id -u "$PROXY_USER" >/dev/null 2>&1; then
        userdel "$PROXY_USER" >/dev/null 2>&1 ||
            warn "no se pudo borrar el usuario $PROXY_USER; no tiene acceso a nada."
    fi
    echo "Filtro por palabras desactivado: se quitaron el proxy y el certificado."
}

main "$@"
