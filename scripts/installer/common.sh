# Shared by install.sh, disable.sh and uninstall.sh (sourced, not run).
# Paths are the installed layout; every message the user may see is Spanish.
# shellcheck shell=bash

readonly DATA_DIR=/var/lib/tranca
readonly UNIT_NAME=tranca.service
readonly UNIT_FILE=/etc/systemd/system/tranca.service
readonly LOG_FILE=/var/log/tranca.log
# shellcheck disable=SC2034 # for install.sh and uninstall.sh
readonly LOGROTATE_FILE=/etc/logrotate.d/amparo
# As contract/filter.h has them (a test holds the two together).
readonly STATUS_NAME=estado.amparo.internal
readonly STATUS_ADDRESS=127.0.0.2
readonly BACKUP_SERVERS="1.1.1.3 1.0.0.3 2606:4700:4700::1113 2606:4700:4700::1003"

# A browser resolving names over its own DNS over HTTPS never asks the filter:
# managed policies turn that off. Chromium and Chrome read every file in their
# folder and, when two set the same policy, obey the one last by name: hence
# the "zz-".
readonly -a CHROMIUM_POLICY_DIRS=(/etc/chromium/policies/managed /etc/opt/chrome/policies/managed)
readonly CHROMIUM_POLICY_NAME=zz-amparo.json
readonly CHROMIUM_POLICY='{"DnsOverHttpsMode": "off"}'
# Firefox (firefox-esr too) reads this file when it exists, and only
# otherwise the one in its installation's distribution folder.
readonly FIREFOX_POLICIES=/etc/firefox/policies/policies.json
readonly FIREFOX_DISTRIBUTION_POLICIES=/usr/lib/firefox-esr/distribution/policies.json
# What the browsers' policies were before, to give them back when turning off.
readonly POLICY_STATE=$DATA_DIR/browser-policies
# Folders made for the browsers' policies, by the DNS filter or the keyword
# filter: whichever takes its files out last removes them once empty.
readonly POLICY_DIRS_MADE=$DATA_DIR/policy-dirs-made
# What Firefox's policies.json was before Amparo first wrote into it (.json,
# or .none when there was no file), shared by both filters' entries.
readonly FIREFOX_PRISTINE=$DATA_DIR/firefox-policies-before
# The system proxy trancad keeps in GNOME's dconf defaults, and the lines of
# its keyfile that name what it made there (relative to the dconf folder).
readonly DCONF_DIR=/etc/dconf
readonly DCONF_KEYFILE=$DCONF_DIR/db/local.d/90-trancad-proxy
readonly DCONF_MADE_NOTE="# creado: "
readonly DCONF_OUR_PROFILE=$'user-db:user\nsystem-db:local'
readonly DOH_STILL_ON="puede seguir usando su propio DNS sobre HTTPS, que no pasa por el filtro"

# The directory these scripts were run from (the application's resources,
# /usr/lib/amparo for the package, scripts/installer in the source tree).
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE

# Prints "name (pid N)" for each non-trancad program listening on a given
# 127.0.0.1 port (or on every address), for one of udp/tcp.
port_squatters() {
    local proto=$1 port=$2 flag line local_address users
    [[ $proto == udp ]] && flag=-u || flag=-t
    while IFS= read -r line; do
        # State Recv-Q Send-Q Local Peer [Process]
        read -r _ _ _ local_address _ users <<<"$line"
        case $local_address in
            "127.0.0.1:$port" | "0.0.0.0:$port" | "*:$port" | "[::]:$port" | "[::ffff:127.0.0.1]:$port") ;;
            *) continue ;;
        esac
        if [[ $users == *'"trancad"'* ]]; then
            continue
        fi
        if [[ $users =~ \(\"([^\"]+)\",pid=([0-9]+) ]]; then
            printf '«%s» (pid %s)\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
        else
            printf 'un programa desconocido\n'
        fi
    done < <(ss -H -l -n -p "$flag" "sport = :$port" 2>/dev/null)
}

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

# A warning for the output, kept in the log too: it may come from a run that
# otherwise succeeds, whose output nobody reads.
warn() {
    echo "Aviso: $*" >&2
    { prepare_log && echo "[$(date -u +%FT%TZ)] Aviso: $*" >>"$LOG_FILE"; } 2>/dev/null || true
}

# Runs a trancad tool command; its lines also go to the log, as the daemon's do.
run_tool() {
    local tool=$1
    shift
    prepare_log
    "$tool" "$@" 2>&1 | tee -a "$LOG_FILE"
}

# Tells the trusted person of the change this script makes; for a stop also
# marks it as asked for, so the daemon's stop is not taken for a silent one.
# Never in the way of the change itself: a trancad that cannot is logged.
# AMPARO_AVISO_HECHO: the uninstaller already told of everything it does.
tell_trusted_person() {
    [[ -z ${AMPARO_AVISO_HECHO:-} && -x $DATA_DIR/trancad ]] || return 0
    run_tool "$DATA_DIR/trancad" --aviso "$1" >/dev/null 2>&1 || true
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

# True when the DNS lock redirects other programs' DNS to the filter.
dns_locked() {
    "$DATA_DIR/trancad" --dns estado 2>/dev/null | grep -q '^Bloqueo de DNS: activo'
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

# Stops and disables the service, then gives the browsers their policies and
# the machine its DNS back. Lists and files stay in place.
disable_protection() {
    if [[ -e $UNIT_FILE || -L $UNIT_FILE ]]; then
        tell_trusted_person desactivada
        local output
        if ! output=$(systemctl disable --now "$UNIT_NAME" 2>&1); then
            fail "No se pudo detener el servicio $UNIT_NAME: $output"
        fi
    fi
    unlock_browser_doh

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
    # The unit's stop left the DNS lock in its backup form: nothing of ours
    # stays in the packet filter.
    run_tool "$tool" --bloqueo quitar >/dev/null 2>&1 || true
    flush_caches
}

# Takes trancad's system proxy out of dconf: its keyfile and lock, then, in
# the reverse order of their making, what it made for them and nobody has
# used since; the database is compiled again when one is left. An off proxy
# left behind would override one an administrator sets later.
remove_dconf_proxy() {
    [[ -f $DCONF_KEYFILE && ! -L $DCONF_KEYFILE ]] || return 0
    local made=() name path index
    mapfile -t made < <(sed -n "s|^$DCONF_MADE_NOTE||p" "$DCONF_KEYFILE")
    rm -f "$DCONF_KEYFILE" "$DCONF_DIR/db/local.d/locks/90-trancad-proxy"
    for ((index = ${#made[@]} - 1; index >= 0; index--)); do
        name=${made[index]}
        path=$DCONF_DIR/$name
        case $name in
            db/local)
                [[ -e $DCONF_DIR/db/local.d ]] || rm -f "$path"
                ;;
            profile/user)
                [[ $(<"$path") == "$DCONF_OUR_PROFILE" ]] 2>/dev/null && rm -f "$path"
                ;;
            . | profile | db | db/local.d | db/local.d/locks)
                rmdir "${path%/.}" 2>/dev/null || true
                ;;
        esac
    done
    if [[ -e $DCONF_DIR/db/local.d ]] && command -v dconf >/dev/null 2>&1; then
        dconf update >/dev/null 2>&1 || warn "dconf update falló: revisá $DCONF_DIR."
    fi
    return 0
}

# Runs a command once a second until it succeeds; status 1 once the given
# number of seconds went by without.
wait_until() {
    local seconds=$1 waited=0
    shift
    until "$@"; do
        if ((waited >= seconds)); then
            return 1
        fi
        sleep 1
        waited=$((waited + 1))
    done
}

# Puts the bytes of $1 at $2 by rename, so a browser starting meanwhile never
# reads half a file; with the owner and mode of $3 when given, else 0644.
replace_file() {
    local source=$1 target=$2 like=${3:-} staged
    local ownership=root:root permissions=0644
    if [[ -n $like ]]; then
        ownership=--reference=$like
        permissions=--reference=$like
    fi
    staged=$(mktemp "${target%/*}/.amparo.XXXXXX") || return 1
    if cat "$source" >"$staged" && chown "$ownership" "$staged" && chmod "$permissions" "$staged" &&
        mv -f "$staged" "$target"; then
        return 0
    fi
    rm -f "$staged"
    return 1
}

# Makes a folder with the parents it lacks (0755, root), noting each one made
# so that turning off takes away those, and only those, once empty again.
make_policy_dir() {
    local dir=$1 missing=()
    while [[ ! -e $dir ]]; do
        missing=("$dir" "${missing[@]}")
        dir=${dir%/*}
    done
    for dir in "${missing[@]}"; do
        install -d -m 0755 -o root -g root "$dir" || return 1
        printf '%s\n' "$dir" >>"$POLICY_DIRS_MADE"
    done
}

# Firefox's policies.json through python3's json module, which keeps the order
# of what it reads. Prints FILE's policies (none for an empty FILE) with one of
# Amparo's entries put in or taken out: "lock FILE PREVIOUS" turns DNS over
# HTTPS off and locked, saving the entry it replaces in PREVIOUS; "unlock FILE
# PREVIOUS" puts that entry back (or none); "add FILE CERT PREVIOUS" puts CERT
# among Certificates.Install and locks the proxy to the keyword filter's,
# saving the Proxy entry it replaces in PREVIOUS; "remove FILE CERT PREVIOUS"
# takes both out, dropping what that leaves empty. Status 3: FILE is no JSON
# object of policies; 4: our DNS entry is gone.
firefox_policies() {
    python3 "$HERE/firefox_policies.py" "$@"
}

# Writes one entry of a filter's into Firefox's policies.json, keeping
# everything else in it:
#   put_firefox_entry RECORD lock|add CONSEQUENCE TURN_ON_AGAIN [CERT]
# CONSEQUENCE ends each warning (what stays undone), TURN_ON_AGAIN names what
# to turn on once the file is fixed. The record (RECORD.*) holds what we
# wrote, the bytes from before (or a note that there was no file) and the
# DNSOverHTTPS entry a lock replaced.
put_firefox_entry() {
    local record=$1 action=$2 still=$3 again=$4 target=$FIREFOX_POLICIES source status=0
    local other=${5:-$1.previous.new}
    if [[ -L $target || (-e $target && ! -f $target) ]]; then
        warn "$target no es un archivo común, así que quedó como estaba y $still."
        return 0
    fi
    if ! command -v python3 >/dev/null 2>&1; then
        warn "falta python3, así que $target quedó como estaba y $still."
        return 0
    fi
    if [[ -e $record.written ]]; then
        if [[ -f $target ]] && cmp -s "$target" "$record.written"; then
            return 0
        fi
        if [[ -e $target ]]; then
            # Edited since: the bytes from before would undo the edit, so
            # turning off will take out only our entry.
            rm -f "$record.original" "$record.created"
        else
            rm -f "$record".*
        fi
    fi
    source=$target
    if [[ ! -e $target ]]; then
        # Once this file exists Firefox stops reading the distribution one:
        # its policies come along.
        source=
        [[ -f $FIREFOX_DISTRIBUTION_POLICIES ]] && source=$FIREFOX_DISTRIBUTION_POLICIES
    fi
    rm -f "$record.new" "$record.previous.new"
    firefox_policies "$action" "$source" "$other" "$record.previous.new" >"$record.new" || status=$?
    if ((status == 3)) && [[ $source == "$FIREFOX_DISTRIBUTION_POLICIES" ]]; then
        status=0
        firefox_policies "$action" "" "$other" "$record.previous.new" >"$record.new" || status=$?
    fi
    if ((status == 3)); then
        rm -f "$record.new" "$record.previous.new"
        warn "$target no es un JSON válido, así que quedó como estaba y $still. Corregí ese archivo y volvé a activar $again."
        return 0
    fi
    if ((status != 0)) || ! make_policy_dir "${target%/*}"; then
        rm -f "$record.new" "$record.previous.new"
        warn "no se pudo escribir $target, así que $still."
        return 0
    fi
    remember_firefox_pristine
    if [[ ! -e $record.written ]]; then
        if [[ -e $target ]]; then
            cp -p "$target" "$record.original"
        else
            : >"$record.created"
        fi
        if [[ -e $record.previous.new ]]; then
            mv -f "$record.previous.new" "$record.previous"
        fi
    fi
    rm -f "$record.previous.new"
    if [[ -e $target ]]; then
        replace_file "$record.new" "$target" "$target"
    else
        replace_file "$record.new" "$target"
    fi || {
        rm -f "$record.new"
        warn "no se pudo escribir $target, así que $still."
        return 0
    }
    mv -f "$record.new" "$record.written"
}

# Takes a filter's entry out of Firefox's policies.json: the file as it was
# before when nobody changed it since, else just our entry out of what is
# there now.
#   take_firefox_entry RECORD unlock|remove BEFORE WHAT BY_HAND INVALID [CERT]
# BEFORE says since when ("antes de Amparo"), WHAT names the entry, BY_HAND
# how to take it out by hand; INVALID is the warning for a file that is no
# JSON any more.
take_firefox_entry() {
    local record=$1 action=$2 before=$3 what=$4 by_hand=$5 invalid=$6
    local other=${7:-$1.previous} target=$FIREFOX_POLICIES status=0
    [[ -e $record.written ]] || return 0
    if [[ -f $target && ! -L $target ]]; then
        if cmp -s "$target" "$record.written" && [[ -e $record.created ]]; then
            rm -f "$target"
        elif cmp -s "$target" "$record.written" && [[ -e $record.original ]]; then
            replace_file "$record.original" "$target" "$record.original" ||
                warn "no se pudo devolver $target a como estaba $before."
        elif ! command -v python3 >/dev/null 2>&1; then
            warn "falta python3 para quitar de $target $what; $by_hand."
        else
            firefox_policies "$action" "$target" "$other" "$record.previous" >"$record.new" || status=$?
            if ((status == 0)); then
                replace_file "$record.new" "$target" "$target" ||
                    warn "no se pudo quitar de $target $what."
            elif ((status == 3)); then
                warn "$invalid"
            fi
        fi
    fi
    rm -f "$record".*
    restore_firefox_pristine
}

lock_firefox_doh() {
    put_firefox_entry "$POLICY_STATE/firefox" lock "Firefox $DOH_STILL_ON" "la protección"
}

unlock_firefox_doh() {
    take_firefox_entry "$POLICY_STATE/firefox" unlock "antes de Amparo" \
        "el bloqueo del DNS sobre HTTPS de Firefox" "quitá a mano su entrada DNSOverHTTPS" \
        "$FIREFOX_POLICIES cambió desde que Amparo lo escribió y ya no es un JSON válido, así que quedó como está; el DNS sobre HTTPS de Firefox sigue bloqueado hasta que quites a mano su entrada DNSOverHTTPS."
}

# Turns the browsers' own DNS over HTTPS off with their managed policies.
lock_browser_doh() {
    install -d -m 0700 -o root -g root "$POLICY_STATE"
    local dir
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        if ! make_policy_dir "$dir" ||
            ! replace_file <(printf '%s\n' "$CHROMIUM_POLICY") "$dir/$CHROMIUM_POLICY_NAME"; then
            warn "no se pudo escribir $dir/$CHROMIUM_POLICY_NAME, así que ese navegador $DOH_STILL_ON."
        fi
    done
    lock_firefox_doh
}

# Gives the browsers their policies back as they were: removes our Chromium
# files, our Firefox entry and the folders made for them.
unlock_browser_doh() {
    local dir
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        rm -f "$dir/$CHROMIUM_POLICY_NAME"
    done
    unlock_firefox_doh
    # Records of an older version kept the folders with the rest.
    if [[ -f $POLICY_STATE/created-dirs ]]; then
        cat "$POLICY_STATE/created-dirs" >>"$POLICY_DIRS_MADE"
    fi
    remove_made_dirs
    rm -rf "$POLICY_STATE"
}

# Removes the folders made for policies that are empty again, deepest first;
# the others stay in the record for the filter that still uses them.
remove_made_dirs() {
    [[ -f $POLICY_DIRS_MADE ]] || return 0
    local dir left=()
    while IFS= read -r dir; do
        rmdir -- "$dir" 2>/dev/null || true
        [[ -e $dir ]] && left=("$dir" "${left[@]}")
    done < <(tac "$POLICY_DIRS_MADE" | awk '!seen[$0]++')
    if ((${#left[@]} == 0)); then
        rm -f "$POLICY_DIRS_MADE"
    else
        printf '%s\n' "${left[@]}" >"$POLICY_DIRS_MADE"
    fi
}

# Notes Firefox's policies.json as it is, unless already noted: called before
# either filter first writes into it.
remember_firefox_pristine() {
    [[ -e $FIREFOX_PRISTINE.json || -e $FIREFOX_PRISTINE.none ]] && return 0
    if [[ -e $FIREFOX_POLICIES ]]; then
        cp -p "$FIREFOX_POLICIES" "$FIREFOX_PRISTINE.json"
    else
        : >"$FIREFOX_PRISTINE.none"
    fi
}

# After an entry of ours went out: when the file means again what it meant
# before Amparo (the two filters may have come and gone in any order, and a
# merge rewrites the layout), the bytes from then go back.
restore_firefox_pristine() {
    local target=$FIREFOX_POLICIES before=
    [[ -e $FIREFOX_PRISTINE.json ]] && before=$FIREFOX_PRISTINE.json
    [[ -n $before || -e $FIREFOX_PRISTINE.none ]] || return 0
    if [[ -f $target && ! -L $target ]] && command -v python3 >/dev/null 2>&1 &&
        python3 "$HERE/firefox_pristine.py" "$target" "$before"; then
        if [[ -n $before ]]; then
            replace_file "$before" "$target" "$before" || return 0
        else
            rm -f "$target"
        fi
        rm -f "$FIREFOX_PRISTINE".*
    elif [[ ! -e $target && -z $before ]]; then
        rm -f "$FIREFOX_PRISTINE".*
    fi
}
