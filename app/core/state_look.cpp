#include "app/core/state_look.h"

#include <algorithm>
#include <iterator>

#include "app/core/os_table.h"

namespace amparo {

namespace {

constexpr const auto& kOs = os::kCurrent;

// In the order of Protection, which stateLook relies on.
constexpr StateLook kLooks[] = {
    {.protection = Protection::checking,
     .panelSymbol = "shield",
     .panelText = "Revisando…",
     .cardSymbol = "shield",
     .color = StateColor::muted,
     .title = "Revisando…",
     .detail = "Un momento."},
    {.protection = Protection::notInstalled,
     .panelSymbol = "shield.slash",
     .panelText = "Protección sin activar",
     .cardSymbol = "shield",
     .color = StateColor::accent,
     .title = "Activá la protección",
     .detail = kOs.cardNotInstalledDetail},
    {.protection = Protection::active,
     .panelSymbol = "checkmark.shield.fill",
     .panelText = "Protección activa",
     .cardSymbol = "checkmark.shield.fill",
     .color = StateColor::accent,
     .title = "Protección activa",
     .detail = "Sitios para adultos bloqueados."},
    {.protection = Protection::fallback,
     .panelSymbol = "shield.lefthalf.filled",
     .panelText = "Protección de respaldo",
     .cardSymbol = "shield.lefthalf.filled",
     .color = StateColor::gold,
     .title = "Protección de respaldo",
     .detail = "Amparo se detuvo. Mientras tanto te cuida el filtro familiar de Cloudflare."},
    {.protection = Protection::offline,
     .panelSymbol = "exclamationmark.shield.fill",
     .panelText = "Sin internet: el filtro no responde",
     .cardSymbol = "wifi.exclamationmark",
     .color = StateColor::coral,
     .title = kOs.cardOfflineTitle,
     .detail = "El filtro de Amparo no responde."},
    {.protection = Protection::notUsed,
     .panelSymbol = "exclamationmark.shield",
     .panelText = kOs.notUsedText,
     .cardSymbol = "exclamationmark.shield.fill",
     .color = StateColor::gold,
     .title = kOs.cardNotUsedTitle,
     .detail = "Otro DNS, un perfil o una VPN pasa por encima de Amparo."},
    {.protection = Protection::off,
     .panelSymbol = "shield.slash",
     .panelText = "Protección desactivada",
     .cardSymbol = "shield.slash.fill",
     .color = StateColor::coral,
     .title = "Protección desactivada",
     .detail = kOs.cardOffDetail},
};

constexpr bool inStateOrder() {
    for (std::size_t i = 0; i < std::size(kLooks); ++i) {
        if (static_cast<std::size_t>(kLooks[i].protection) != i) {
            return false;
        }
    }
    return std::size(kLooks) == static_cast<std::size_t>(Protection::off) + 1;
}
static_assert(inStateOrder(), "one row per state, in the order of Protection");

}  // namespace

const StateLook& stateLook(Protection protection) {
    const auto index = static_cast<std::size_t>(protection);
    // A value outside the enumeration draws as switched off, the safe side.
    return kLooks[std::min(index, std::size(kLooks) - 1)];
}

}  // namespace amparo
