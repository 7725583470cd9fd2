#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config
    libasio-dev
    # network settings store: NetworkManager over D-Bus, plist record, dconf
    libsdbus-c++-dev libsystemd-dev libplist-dev dconf-cli
    libcurl4-openssl-dev
    # the DNS lock: libnftables (loaded at run time) and nft for its tests
    libnftables-dev nftables
    # tests, fuzzing and benchmarks
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    python3 python3-pytest
    dnsutils knot-dnsutils iproute2 util-linux procps curl
    # a private system bus with a fake NetworkManager for the settings tests
    dbus python3-dbusmock
    # the block page: logo rendering at build time, a real browser, load tests
    librsvg2-bin chromium wrk
    openssl ca-certificates dnsperf dnsmasq-base unbound python3-hypercorn
    # a mail server on loopback for the trusted person's notices
    python3-aiosmtpd
    # installer: script lint, unit checks, log rotation, the .deb (dnsmasq-base above is its DNS peer too)
    shellcheck systemd dpkg-dev desktop-file-utils logrotate
    # a booted Debian with real systemd and NetworkManager for the system tests
    debootstrap systemd-container
    # the keyword filter's proxy, for its tests
    mitmproxy
    # Amparo, the tray application: Qt 6 (widgets for dialogs, Qt Quick for the
    # window), polkit's pkexec for root commands, Xvfb to run it in tests
    qt6-base-dev qt6-declarative-dev qt6-svg-dev qt6-declarative-dev-tools
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
    qml6-module-qtquick-window qml6-module-qtquick-templates qml6-module-qtqml-workerscript
    qml6-module-qttest qml6-module-qt5compat-graphicaleffects qt6-5compat-dev
    qt6-translations-l10n pkexec xvfb xauth
    python3-pil
)
# npm itself only where the machine has none of its own.
command -v npm >/dev/null 2>&1 || packages+=(npm)

# Fonts and symbols of Amparo's window, from the npm registry at fixed
# versions (the build copies what it uses into Amparo's resources).
npm_packages=(
    @expo-google-fonts/baloo-2@0.4.2
    @expo-google-fonts/nunito@0.4.2
    bootstrap-icons@1.13.2
)
npm_dir=$(cd "$(dirname "$0")/.." && pwd)/.deps/npm

npm_installed() {
    local spec name version
    for spec in "${npm_packages[@]}"; do
        name=${spec%@*}
        version=${spec##*@}
        grep -q "\"version\": \"$version\"" "$npm_dir/node_modules/$name/package.json" 2>/dev/null ||
            return 1
    done
}

install_npm_assets() {
    npm_installed && return 0
    echo "Instalando desde npm: ${npm_packages[*]}"
    mkdir -p "$npm_dir"
    npm install --no-save --no-audit --no-fund --ignore-scripts --prefix "$npm_dir" \
        "${npm_packages[@]}"
}

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} == 0)); then
    install_npm_assets
    echo "Dependencias: todo instalado."
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Faltan paquetes (${missing[*]}); ejecuta este script como root." >&2
    exit 1
fi

echo "Instalando: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
install_npm_assets
