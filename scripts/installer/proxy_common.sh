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
# Firefox keeps a store of its own; its enterprise policy installs the
# certificate. "add FILE CERT" prints FILE's policies (none for an empty
# FILE) with CERT among Certificates.Install; "remove FILE CERT" prints them
# without it, dropping what that leaves empty. Status 3: FILE is no JSON
# object of policies.
firefox_certificate() {
    python3 - "$@" <<'PY'
import json
import sys

action, path, cert = sys.argv[1:4]
try:
    data = {}
    if path:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    policies = data.setdefault("policies", {})
    certificates = policies.setdefault("Certificates", {})
    install = certificates.setdefault("Install", [])
except (OSError, ValueError, AttributeError):
    sys.exit(3)
if not isinstance(install, list):
    sys.exit(3)
if action == "add":
    if cert not in install:
        install.append(cert)
else:
    install[:] = [item for item in install if item != cert]
    if not install:
        del certificates["Install"]
    if not certificates:
        del policies["Certificates"]
sys.stdout.reconfigure(encoding="utf-8")
json.dump(data, sys.stdout, indent=2, ensure_ascii=False)
print()
PY
}

# Puts the certificate into Firefox's policies.json, keeping everything else
# in it. The record (firefox.*) holds what we wrote and the bytes from before
# (or a note that there was no file), so turning off gives them back.
trust_firefox() {
    local target=$FIREFOX_POLICIES record=$PROXY_ADDON_DIR/firefox source status=0
    local still="Firefox va a mostrar errores de certificado en las páginas que lee el filtro"
    if [[ -L $target || (-e $target && ! -f $target) ]]; then
        warn "$target no es un archivo común, así que quedó como estaba y $still."
        return 0
    fi
    if ! command -v python3 >/dev/null 2>&1; then
        warn "falta python3, así que $target quedó como estaba y $still."
        return 0
    fi
    source=$target
    if [[ ! -e $target ]]; then
        # Once this file exists Firefox stops reading the distribution one.
        source=
        [[ -f $FIREFOX_DISTRIBUTION_POLICIES ]] && source=$FIREFOX_DISTRIBUTION_POLICIES
    fi
    firefox_certificate add "$source" "$SYSTEM_CA" >"$record.new" || status=$?
    if ((status == 3)) && [[ -n $source && $source != "$target" ]]; then
        status=0
        firefox_certificate add "" "$SYSTEM_CA" >"$record.new" || status=$?
    fi
    if ((status != 0)); then
        rm -f "$record.new"
        warn "$target no es un JSON válido, así que quedó como estaba y $still. Corregí ese archivo y volvé a activar el filtro."
        return 0
    fi
    if [[ -f $target ]] && cmp -s "$record.new" "$target"; then
        rm -f "$record.new"
        return 0
    fi
    if ! make_policy_dir "${target%/*}"; then
        rm -f "$record.new"
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
    fi
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

# Takes the certificate out of Firefox's policies.json: the file as it was
# before when nobody changed it since, else just our entry out of it.
untrust_firefox() {
    local target=$FIREFOX_POLICIES record=$PROXY_ADDON_DIR/firefox status=0
    [[ -e $record.written ]] || return 0
    if [[ -f $target && ! -L $target ]]; then
        if cmp -s "$target" "$record.written" && [[ -e $record.created ]]; then
            rm -f "$target"
        elif cmp -s "$target" "$record.written" && [[ -e $record.original ]]; then
            replace_file "$record.original" "$target" "$record.original" ||
                warn "no se pudo devolver $target a como estaba antes del filtro."
        elif ! command -v python3 >/dev/null 2>&1; then
            warn "falta python3 para quitar de $target el certificado del filtro; quitá a mano $SYSTEM_CA de Certificates.Install."
        else
            firefox_certificate remove "$target" "$SYSTEM_CA" >"$record.new" || status=$?
            if ((status == 0)); then
                replace_file "$record.new" "$target" "$target" ||
                    warn "no se pudo quitar de $target el certificado del filtro."
            else
                warn "$target cambió y ya no es un JSON válido, así que quedó como está; quitá a mano $SYSTEM_CA de Certificates.Install."
            fi
        fi
    fi
    rm -f "$record".*
    restore_firefox_pristine
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
    make_policy_dir "${SYSTEM_CA%/*}" || return 1
    install -m 0644 -o root -g root "$cert" "$SYSTEM_CA"
    update_system_store
    der=$(openssl x509 -in "$cert" -outform DER | base64 -w 0)
    for dir in "${CHROMIUM_POLICY_DIRS[@]}"; do
        if ! make_policy_dir "$dir" ||
            ! replace_file <(printf '{"CACertificates": ["%s"]}\n' "$der") \
                "$dir/$CHROMIUM_CA_POLICY_NAME"; then
            warn "no se pudo escribir $dir/$CHROMIUM_CA_POLICY_NAME: ese navegador va a mostrar errores de certificado."
        fi
    done
    trust_firefox
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
    untrust_firefox
    remove_made_dirs
}
