#!/usr/bin/env bash
# Installs what is needed, builds the sanitizer variants and runs every test:
# all of them under AddressSanitizer+UBSan, and the in-process ones (threads,
# timers, shared sets) again under ThreadSanitizer.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

"$root/scripts/build.sh" asan
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
(cd "$root/build/asan" && ctest --output-on-failure -j "$(nproc)" --timeout 600)

"$root/scripts/build.sh" tsan
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp}
# Not here: the process, installer, system and desktop tests drive processes, not
# threads; the updater's network tests and the QML tests run Qt's own threads
# (network, scene graph), which live in the uninstrumented Qt libraries and
# only give false reports.
(cd "$root/build/tsan" && ctest --output-on-failure -j "$(nproc)" --timeout 600 \
    -E '^(process|installer|system|desktop)_|^Updater(Served|Feed)\.|^ui_qml_tests$')
