#!/usr/bin/env bash
# Pictures of Amparo's window in every state, rendered as on a desktop (under
# Xvfb, so shadows and effects draw), into one folder.
#   scripts/capture.sh [folder, default docs/capturas] [variant, default release]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/capturas}
variant=${2:-release}
amparo=$root/build/$variant/lib/amparo/Amparo
[[ -x $amparo ]] || "$root/scripts/build.sh" "$variant"
mkdir -p "$out"
states=(activa respaldo sin-internet sin-internet-vieja desactivada no-usado sin-instalar actualizar pendiente sitios confianza)
# The GL drivers under Xvfb keep memory until exit; not ours to report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
for state in "${states[@]}"; do
    xvfb-run -a -s "-screen 0 1280x1024x24" \
        env QT_QPA_PLATFORM=xcb "$amparo" --captura "$out/$state.png" "$state" 2>/dev/null
    echo "$out/$state.png"
done
