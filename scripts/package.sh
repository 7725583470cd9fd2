#!/usr/bin/env bash
# Builds the Debian package: an optimised trancad without tests or
# benchmarks, packed by CPack with the installer scripts and the unit.
# The package ends up in build/package/ and its path is printed last.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/package"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DAMPARO_BUILD_TESTS=OFF -DAMPARO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/amparo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/amparo_*.deb)
dpkg-deb --info "$package" | sed -n 's/^ \(Package\|Version\|Depends\):/\1:/p'
echo "$package"
