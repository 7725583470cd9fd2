# Shared by install.sh, disable.sh and uninstall.sh (sourced, not run).
# Paths are the installed layout; every message the user may see is Spanish.
# shellcheck shell=bash

readonly DATA_DIR=/var/lib/tranca
readonly UNIT_NAME=tranca.service
readonly UNIT_FILE=/etc/systemd/system/tranca.service
readonly LOG_FILE=/var/log/tranca.log
# shellcheck disable=SC2034 # for install.sh and uninstall.sh
readonly LOGROTATE_FILE=/etc/logrotate.d/amparo
readonly STATUS_NAME=estado.amparo.internal
readonly STATUS_ADDRESS=127.0.0.2
readonly BACKUP_SERVERS="1.1.1.3 1.0.0.3 2606:4700:4700::1113 2606:4700:4700::1003"

# The directory these scripts were run from (the application's resources,
# /usr/lib/amparo for the package, scripts/installer in the source tree).
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE

fail() {
    echo "$*" >&2
    exit 1
}

require_root() {
    if [[ $(id -u) -ne 0 ]]; then
        fail "Hace falta ser administrador: ejecutá este script con sudo."
    fi
}

# The trancad shipped next to the scripts: AMPARO_TRANCAD when given, else the
# one beside them (package, application), else the release build of a source
# tree. Prints nothing when there is none.
shipped_trancad() {
    local candidate
    for candidate in "${AMPARO_TRANCAD:-}" "$HERE/trancad" "$HERE/../../build/release/bin/trancad"; do
        if [[ -n $candidate && -f $candidate && -x $candidate ]]; then
            printf '%s\n' "$candidate"
            return 0
        fi
    done
    return 0
}

# A trancad to run the DNS commands with: the installed one, else the shipped one.
any_trancad() {
    if [[ -x $DATA_DIR/trancad ]]; then
        printf '%s\n' "$DATA_DIR/trancad"
    else
        shipped_trancad
    fi
}

# Creates the log when missing and makes it readable by everyone: Amparo,
# running as the desktop user, follows it to open the block page. Done before
# anything appends to it, since tee and systemd's StandardOutput=append:
# would create it with whatever umask they have (0600 under umask 077).
prepare_log() {
    (umask 0022 && touch "$LOG_FILE") && chmod 0644 "$LOG_FILE"
}

# Runs a trancad tool command; its lines also go to the log, as the daemon's do.
run_tool() {
    local tool=$1
    shift
    prepare_log
    "$tool" "$@" 2>&1 | tee -a "$LOG_FILE"
}

flush_caches() {
    # Only systemd-resolved keeps a cache worth flushing on these machines.
    if command -v resolvectl >/dev/null 2>&1; then
        resolvectl flush-caches >/dev/null 2>&1 || true
    fi
    if command -v nscd >/dev/null 2>&1; then
        nscd --invalidate=hosts >/dev/null 2>&1 || true
    fi
}

# True when the daemon answers the status name on 127.0.0.1:53 with its address.
filter_answers() {
    local answer
    answer=$(dig +short +time=1 +tries=1 -p 53 @127.0.0.1 "$STATUS_NAME" A 2>/dev/null) || return 1
    [[ $answer == "$STATUS_ADDRESS" ]]
}

# True when some network service still points at the filter or at the backup
# resolvers, that is, when its DNS is still ours to give back.
dns_is_ours() {
    local tool=$1 line servers
    while IFS= read -r line; do
        [[ $line == *": DNS "* ]] || continue
        servers=${line#*: DNS }
        servers=${servers% · *}
        if [[ $servers == "127.0.0.1" || $servers == "$BACKUP_SERVERS" ]]; then
            return 0
        fi
    done < <("$tool" --dns estado 2>/dev/null)
    return 1
}

# Stops and disables the service, then gives the machine its DNS back.
# Lists and files stay in place.
disable_protection() {
    if [[ -e $UNIT_FILE || -L $UNIT_FILE ]]; then
        local output
        if ! output=$(systemctl disable --now "$UNIT_NAME" 2>&1); then
            fail "No se pudo detener el servicio $UNIT_NAME: $output"
        fi
    fi

    local tool
    tool=$(any_trancad)
    if [[ -z $tool ]]; then
        if [[ -e $DATA_DIR/dns-original.plist ]]; then
            fail "Falta trancad para devolver el DNS de antes: no está en $DATA_DIR ni junto a este script."
        fi
        echo "El DNS no se tocó: no hay nada que devolver."
        return 0
    fi
    # With a record, the recorded servers come back. Without one, only a DNS
    # that is still ours is given back (to automatic); a DNS already restored
    # by an earlier run is the user's and stays as it is.
    if [[ -e $DATA_DIR/dns-original.plist ]] || dns_is_ours "$tool"; then
        run_tool "$tool" --dns original || fail "No se pudo devolver el DNS de antes (trancad --dns original)."
    fi
    flush_caches
}
