#!/usr/bin/env bash
# Builds one variant into build/<variant>/, programs in build/<variant>/bin/.
#   release  optimised, for use and benchmarks
#   debug    no optimisation, debug info
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (the test build)
#   tsan     ThreadSanitizer
set -euo pipefail

variant=${1:-release}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/$variant"

case "$variant" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    debug) flags=(-DCMAKE_BUILD_TYPE=Debug) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMPARO_SANITIZE=address) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMPARO_SANITIZE=thread) ;;
    *)
        echo "Uso: scripts/build.sh [release|debug|asan|tsan]" >&2
        exit 64
        ;;
esac

cmake -S "$root" -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
