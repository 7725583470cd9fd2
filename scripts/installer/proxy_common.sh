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
# Folders made for those policies, taken away again once empty.
readonly PROXY_CREATED_DIRS=$PROXY_ADDON_DIR/created-dirs

# Makes a folder with the parents it lacks, noting each one made.
make_noted_dir() {
    local dir=$1 missing=()
    while [[ ! -e $dir ]]; do
        missing=("$dir" "${missing[@]}")
        dir=${dir%/*}
    done
    for dir in "${missing[@]}"; do
        install -d -m 0755 -o root -g root "$dir" || return 1
        printf '%s\n' "$dir" >>"$PROXY_CREATED_DIRS"
    done
}

update_system_store() {
    if command -v update-ca-certificates >/dev/null 2>&1; then
        update-ca-certificates --fresh >/dev/null 2>&1 ||
            warn "update-ca-certificates falló: revisá /etc/ssl/certs."
    else
        warn "falta update-ca-certificates (paquete ca-certificates), así que los programas que usan el almacén del sistema no confían en el filtro."
    fi
}

trust_authority() {
    local cert=$PROXY_STATE/mitmproxy-ca-cert.pem der dir
    make_noted_dir "${SYSTEM_CA%/*}" || return 1
    install -m 0644 -o root -g root "$cert" "$SYSTEM_CA"
    update_system_store
    der=$(openssl x509 -in "$cert" -outform DER | base64 -w 0)
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        if ! make_noted_dir "$dir" ||
            ! replace_file <(printf '{"CACertificates": ["%s"]}\n' "$der") \
                "$dir/$CHROMIUM_CA_POLICY_NAME"; then
            warn "no se pudo escribir $dir/$CHROMIUM_CA_POLICY_NAME: ese navegador va a mostrar errores de certificado."
        fi
    done
}

untrust_authority() {
    local dir
    if [[ -e $SYSTEM_CA ]]; then
        rm -f "$SYSTEM_CA"
        update_system_store
    fi
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        rm -f "$dir/$CHROMIUM_CA_POLICY_NAME"
    done
    if [[ -f $PROXY_CREATED_DIRS ]]; then
        # Deepest first; a folder something else has put files in stays.
        tac "$PROXY_CREATED_DIRS" | while IFS= read -r dir; do
            rmdir "$dir" 2>/dev/null || true
        done
        rm -f "$PROXY_CREATED_DIRS"
    fi
}
