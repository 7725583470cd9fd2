#!/usr/bin/env bash
# Renews the block list (blocklist.txt in the data directory) from a URL.
# The new list replaces the old one, by rename, only when it passed every
# check; on any failure the old list stays and the exit status is 1.
#
# The URL, first found wins:
#   1. the environment variable TRANCA_BLOCKLIST_URL (https://, http:// or file://)
#   2. the first line that is not a comment in blocklist-url.txt in the data directory
#   3. StevenBlack's "porn-only" hosts list (hosts format, updated several times a week)
# TRANCAD_DIR overrides the data directory, as it does for trancad.
#
# Names are looked up through the backup family resolvers with dig, and curl
# is told the address with --resolve: the download works even when the
# filter itself is down while the machine's DNS still points at it.
set -euo pipefail

readonly DEFAULT_URL=https://raw.githubusercontent.com/StevenBlack/hosts/master/alternates/porn-only/hosts
readonly FAMILY_RESOLVERS=(1.1.1.3 1.0.0.3)
readonly MAX_BYTES=$((64 * 1024 * 1024))
readonly MIN_ENTRIES=${TRANCA_BLOCKLIST_MIN_ENTRIES:-1000}
# More than this share of entries that cannot be host names means that what
# came back is not a domain list (an error page, a different format).
readonly MAX_JUNK_PERCENT=2

data_dir=${TRANCAD_DIR-/var/lib/tranca}
list=$data_dir/blocklist.txt
staged=""

fail() {
    local kept="Se conserva la lista anterior."
    [[ -s $list ]] || kept="No hay una lista anterior."
    echo "No se pudo actualizar la lista de bloqueo: $*. $kept" >&2
    exit 1
}

cleanup() {
    if [[ -n $staged ]]; then
        rm -f "$staged"
    fi
}
trap cleanup EXIT

configured_url() {
    if [[ -n ${TRANCA_BLOCKLIST_URL:-} ]]; then
        printf '%s\n' "$TRANCA_BLOCKLIST_URL"
        return
    fi
    local line
    if [[ -r $data_dir/blocklist-url.txt ]]; then
        while IFS= read -r line || [[ -n $line ]]; do
            line=${line//[$'\r\t ']/}
            if [[ -n $line && $line != \#* ]]; then
                printf '%s\n' "$line"
                return
            fi
        done <"$data_dir/blocklist-url.txt"
    fi
    printf '%s\n' "$DEFAULT_URL"
}

# The IPv4 address the family resolvers give for a name; nothing when none answers.
family_address() {
    local name=$1 server answer
    for server in "${FAMILY_RESOLVERS[@]}"; do
        answer=$(dig +short +time=3 +tries=2 @"$server" "$name" A 2>/dev/null |
            grep -E '^[0-9]+(\.[0-9]+){3}$' | head -n 1) || true
        if [[ -n $answer && $answer != 0.0.0.0 ]]; then
            printf '%s\n' "$answer"
            return
        fi
    done
}

# Fills curl_args with what pins the URL's host to an address.
pin_host() {
    local url=$1 rest authority host port
    rest=${url#*://}
    authority=${rest%%/*}
    authority=${authority##*@}
    if [[ $authority == \[* ]]; then
        return # an IPv6 literal needs no lookup
    fi
    host=${authority%%:*}
    port=${authority#"$host"}
    port=${port#:}
    if [[ -z $port ]]; then
        [[ $url == https://* ]] && port=443 || port=80
    fi
    if [[ $host =~ ^[0-9]+(\.[0-9]+){3}$ ]]; then
        return
    fi
    local address
    address=$(family_address "$host")
    if [[ -n $address ]]; then
        curl_args+=(--resolve "$host:$port:$address")
    else
        echo "Aviso: los resolvedores familiares no respondieron por $host; se usa el DNS del sistema." >&2
    fi
}

# Reads the list as trancad's list parser does and prints "entries junk
# invalid unusable": the distinct names it would load, those of them that
# cannot be host names, the lines it skips as not valid UTF-8, and the lines
# whose entry no query can match. The rules are the daemon's, so whatever
# passes here loads the same names there (only case folding beyond ASCII is
# not done, so such names may count twice).
count_entries() {
    LC_ALL=C awk '
        BEGIN {
            # Line ends: CR LF, LF, CR, VT, FF, U+0085, U+2028, U+2029.
            RS = "\r\n|[\n\r\v\f]|\302\205|\342\200[\250\251]"
            # Strict UTF-8: no overlong forms, no surrogates, nothing above
            # U+10FFFF (which iconv lets through).
            utf8 = "^([\001-\177]|[\302-\337][\200-\277]|\340[\240-\277][\200-\277]|" \
                   "[\341-\354\356\357][\200-\277][\200-\277]|\355[\200-\237][\200-\277]|" \
                   "\360[\220-\277][\200-\277][\200-\277]|[\361-\363][\200-\277][\200-\277][\200-\277]|" \
                   "\364[\200-\217][\200-\277][\200-\277])*$"
            # Tab, space and the Unicode space separators, trimmed at both ends.
            blank = "([ \t]|\302\240|\341\232\200|\342\200[\200-\212\257]|\342\201\237|\343\200\200)+"
            split("0.0.0.0 127.0.0.1 localhost localhost.localdomain broadcasthost local " \
                  "ip6-localhost ip6-loopback ip6-localnet ip6-mcastprefix ip6-allnodes " \
                  "ip6-allrouters ip6-allhosts", names, " ")
            for (i in names) ignored[names[i]] = 1
        }
        # A byte-order mark is no part of the first name.
        NR == 1 { sub(/^\357\273\277/, "") }
        $0 == "" { next }
        $0 !~ utf8 { invalid++; next }
        {
            sub("^" blank, ""); sub(blank "$", "")
            if ($0 == "" || substr($0, 1, 1) == "#") next
            n = split($0, fields, /[ \t]+/)
            name = fields[1]
            if (n >= 2 && (name == "0.0.0.0" || name == "127.0.0.1")) name = fields[2]
            name = tolower(name)
            # Empty labels go, as in query names; "*.name" is the suffix name.
            gsub(/\.\.+/, ".", name); sub(/^\./, "", name); sub(/\.$/, "", name)
            if (substr(name, 1, 2) == "*.") name = substr(name, 3)
            if (name == "" || index(name, "*")) { unusable++; next }
            if (name in ignored || name in seen) next
            seen[name] = 1
            entries++
            if (name !~ /^[a-z0-9_]([a-z0-9_-]*[a-z0-9_])?(\.[a-z0-9_]([a-z0-9_-]*[a-z0-9_])?)*$/) junk++
        }
        END { printf "%d %d %d %d\n", entries, junk, invalid, unusable }
    ' "$1"
}

main() {
    [[ -d $data_dir ]] || fail "no existe la carpeta $data_dir (¿está instalado Amparo?)"
    [[ -w $data_dir ]] || fail "hace falta ser administrador para escribir en $data_dir"

    # One update at a time; the lock is on the directory, so nothing is left behind.
    exec 9<"$data_dir"
    flock -w 120 9 || fail "otra actualización sigue en curso"

    local url
    url=$(configured_url)
    curl_args=(--silent --show-error --fail --max-time 300 --connect-timeout 20
        --retry 2 --max-filesize "$MAX_BYTES" --proto '=https,http,file')
    case $url in
        https://* | http://*) pin_host "$url" ;;
        file://*) ;;
        *) fail "la dirección «$url» no es https://, http:// ni file://" ;;
    esac

    staged=$(mktemp "$data_dir/.blocklist.XXXXXX")
    # --max-filesize refuses a list whose size is announced, but curl cannot
    # apply it to a chunked response, which would fill the disk before the
    # size check below. A file size limit one block past the maximum stops
    # curl's writes whatever the server sends; with SIGXFSZ ignored that is a
    # plain write error rather than a core dump.
    local output status=0
    output=$(
        trap '' XFSZ
        ulimit -f $((MAX_BYTES / 1024 + 1))
        curl "${curl_args[@]}" --output "$staged" -- "$url" 2>&1
    ) || status=$?

    local size
    size=$(stat -c %s "$staged")
    ((size <= MAX_BYTES)) || fail "la lista descargada pesa más que el máximo de $MAX_BYTES bytes"
    ((status == 0)) || fail "la descarga de $url falló (${output:-sin detalle})"
    ((size > 0)) || fail "la descarga de $url llegó vacía"
    local first
    first=$(LC_ALL=C grep -a -m 1 -v -E '^[[:space:]]*(#|$)' "$staged" | sed 's/^[[:space:]]*//' || true)
    if [[ $first == \<* ]]; then
        fail "lo descargado de $url parece una página web, no una lista de dominios"
    fi

    local entries junk invalid unusable
    read -r entries junk invalid unusable < <(count_entries "$staged")
    # A few stray lines are skipped by the filter; many mean the list is in
    # another encoding.
    if ((invalid * 100 > (entries + invalid) * MAX_JUNK_PERCENT)); then
        fail "la lista descargada no es texto UTF-8"
    fi
    ((entries >= MIN_ENTRIES)) || fail "la lista descargada tiene $entries dominios, menos que el mínimo de $MIN_ENTRIES"
    if ((junk * 100 > entries * MAX_JUNK_PERCENT)); then
        fail "$junk de los $entries renglones de la lista descargada no son nombres de dominio"
    fi
    if ((invalid > 0)); then
        echo "Aviso: renglones que el filtro ignora por no ser UTF-8 válido: $invalid." >&2
    fi
    if ((unusable > 0)); then
        echo "Aviso: renglones que el filtro ignora por no tener un nombre de dominio utilizable: $unusable." >&2
    fi

    if [[ -f $list ]] && cmp -s "$staged" "$list"; then
        echo "La lista de bloqueo ya estaba al día ($entries dominios)."
        return 0
    fi
    chmod 0644 "$staged"
    mv -f "$staged" "$list" || fail "no se pudo reemplazar $list"
    staged=""
    echo "Lista de bloqueo actualizada: $entries dominios. El filtro la aplica en menos de un minuto."
}

main "$@"
