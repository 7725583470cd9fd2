# Shared by proxy_install.sh and proxy_uninstall.sh (sourced after common.sh):
# where the keyword filter's parts live and how its certificate authority is
# trusted and untrusted.
# shellcheck shell=bash disable=SC2034 # the constants are the two scripts'

readonly PROXY_UNIT=tranca-proxy.service
readonly PROXY_UNIT_FILE=/etc/systemd/system/tranca-proxy.service
readonly PROXY_USER=tranca-proxy
readonly PROXY_STATE=/var/lib/tranca-proxy
readonly PROXY_ADDON_DIR=$DATA_DIR/proxy
readonly PROXY_PORT=8080
# The public half of the authority, where update-ca-certificates looks.
readonly SYSTEM_CA=/usr/local/share/ca-certificates/amparo-filtro.crt
# Chromium and Chrome on Linux trust no system store of their own choosing:
# their managed policy names the certificate (base64 DER).
readonly CHROMIUM_CA_POLICY_NAME=zz-amparo-certificado.json
# In the same file, the proxy: a policy outranks --no-proxy-server and the
# user's settings.
readonly CHROMIUM_PROXY_POLICY="{\"ProxyMode\": \"fixed_servers\", \"ProxyServer\": \"127.0.0.1:$PROXY_PORT\"}"
# Firefox keeps a store of its own: its enterprise policy installs the
# certificate and locks the proxy (put_firefox_entry in common.sh).
readonly FIREFOX_STILL_UNTRUSTING="Firefox va a mostrar errores de certificado en las páginas que lee el filtro y puede saltearlo con «Sin proxy»"

# Runs a command as the proxy's user. Root never works inside the folder that
# user owns: a compromised proxy could put links there for root to follow.
as_proxy_user() {
    setpriv --reuid="$PROXY_USER" --regid="$PROXY_USER" --clear-groups -- "$@"
}

# Adding a certificate needs only the plain run; a changed or removed one needs
# --fresh, the one way its old links and Java's copy go too. --fresh rebuilds
# every store and takes many times longer.
update_system_store() {
    if command -v update-ca-certificates >/dev/null 2>&1; then
        update-ca-certificates "$@" >/dev/null 2>&1 ||
            warn "update-ca-certificates falló: revisá /etc/ssl/certs."
    else
        warn "falta update-ca-certificates (paquete ca-certificates), así que los programas que usan el almacén del sistema no confían en el filtro."
    fi
}

trust_authority() {
    local pem der dir
    # Only a certificate crosses over, read by the proxy's user.
    pem=$(as_proxy_user openssl x509 -in "$PROXY_STATE/mitmproxy-ca-cert.pem" 2>/dev/null) ||
        return 1
    make_policy_dir "${SYSTEM_CA%/*}" || return 1
    local how=()
    [[ -e $SYSTEM_CA && $(<"$SYSTEM_CA") != "$pem" ]] && how=(--fresh)
    replace_file <(printf '%s\n' "$pem") "$SYSTEM_CA" || return 1
    update_system_store "${how[@]}"
    der=$(printf '%s\n' "$pem" | openssl x509 -outform DER | base64 -w 0)
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        if ! make_policy_dir "$dir" ||
            ! replace_file <(printf '{"CACertificates": ["%s"], "ProxySettings": %s}\n' "$der" \
                "$CHROMIUM_PROXY_POLICY") "$dir/$CHROMIUM_CA_POLICY_NAME"; then
            warn "no se pudo escribir $dir/$CHROMIUM_CA_POLICY_NAME: ese navegador va a mostrar errores de certificado."
        fi
    done
    put_firefox_entry "$PROXY_ADDON_DIR/firefox" add "$FIREFOX_STILL_UNTRUSTING" "el filtro" "$SYSTEM_CA"
}

untrust_authority() {
    local dir
    if [[ -e $SYSTEM_CA ]]; then
        rm -f "$SYSTEM_CA"
        update_system_store --fresh
    fi
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        rm -f "$dir/$CHROMIUM_CA_POLICY_NAME"
    done
    take_firefox_entry "$PROXY_ADDON_DIR/firefox" remove "antes del filtro" \
        "el certificado del filtro" "quitá a mano $SYSTEM_CA de Certificates.Install" \
        "$FIREFOX_POLICIES cambió y ya no es un JSON válido, así que quedó como está; quitá a mano $SYSTEM_CA de Certificates.Install." \
        "$SYSTEM_CA"
    remove_made_dirs
}
