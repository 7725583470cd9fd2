#!/usr/bin/env bash
# Turns the protection off: stops and disables tranca.service, gives the
# browsers back their own DNS over HTTPS and the machine the DNS servers it
# had before the filter. The lists, the installed daemon and the unit file
# stay, so install.sh turns it on again.
set -euo pipefail

# shellcheck source=SCRIPTDIR/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

require_root
disable_protection
echo "Protección desactivada: el equipo volvió a los DNS que tenía antes de Amparo."
