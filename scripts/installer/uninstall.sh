#!/usr/bin/env bash
# Removes Amparo's filter: everything disable.sh does, then the unit and every
# installed file, so nothing is left but the log. The machine's DNS is what it
# was before the first installation.
set -euo pipefail

# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

require_root
# Sent before the files go: afterwards nothing is left to send it.
tell_trusted_person desinstalacion
export AMPARO_AVISO_HECHO=1
# The keyword filter keeps its records in the data folder about to go: it is
# taken away first, or its certificate would stay trusted with no way back.
if [[ -e /etc/systemd/system/tranca-proxy.service && -f $HERE/proxy_uninstall.sh ]]; then
    bash "$HERE/proxy_uninstall.sh" || fail "No se pudo quitar el filtro por palabras; la protección sigue instalada."
fi
disable_protection
remove_dconf_proxy

if [[ -e $UNIT_FILE || -L $UNIT_FILE ]]; then
    rm -f "$UNIT_FILE"
    output=$(systemctl daemon-reload 2>&1) || fail "No se pudo recargar systemd: $output"
    systemctl reset-failed "$UNIT_NAME" >/dev/null 2>&1 || true
fi
rm -rf "$DATA_DIR" || fail "No se pudo borrar $DATA_DIR."
rm -f "$LOGROTATE_FILE"
# The settings lock of trancad and the wait's socket; they live in /run and
# would go at reboot anyway.
rm -f /run/trancad-red.lock
rm -rf /run/tranca
echo "Amparo se desinstaló: el equipo volvió a los DNS que tenía antes. El registro queda en $LOG_FILE."
