// Amparo's per-OS constants: the places it looks at and the texts that name
// the machine or one of its tools. The macOS values stand beside the Linux
// ones, so a macOS build only flips the selection at the end.
#pragma once

#include <string_view>

#include "platform/paths.h"

namespace amparo::os {

struct AppOsTable {
    tranca::paths::OsPaths paths;
    // Where the keyword filter's proxy program may be, in the order checked.
    std::string_view proxyTools[2];
    // Resolver cache flush run as root after the daemon copy's "--dns
    // respaldo"; amparo-admin holds the Linux one as its own line.
    std::string_view cacheFlush;

    // Texts that name the machine.
    std::string_view notUsedText;
    std::string_view deactivateText;
    std::string_view uninstallText;
    std::string_view keywordFilterText;
    std::string_view includedPageLabel;
    std::string_view keywordFilterNeedsTool;
    std::string_view cardNotInstalledDetail;
    std::string_view cardOfflineTitle;
    std::string_view cardNotUsedTitle;
    std::string_view cardOffDetail;

    // Amparo started without its parts beside it.
    std::string_view missingPartText;

    // The proxy tool is not installed.
    std::string_view missingToolText;
    std::string_view missingToolCommand;

    // The daemon's service is switched off by the system: the phrase
    // install.sh prints then, and the dialog that explains it.
    std::string_view serviceOffMarker;
    std::string_view serviceOffTitle;
    std::string_view serviceOffText;
    std::string_view serviceOffButton;
    // What the first button does: open this URL, or copy this command.
    std::string_view serviceOffUrl;
    std::string_view serviceOffCommand;
};

inline constexpr std::string_view kKeywordFilterIntro =
    "Amparo va a leer el texto de las páginas y bloquear las que tengan contenido para adultos, "
    "aunque el sitio no esté en ninguna lista.";

inline constexpr AppOsTable kMacOS{
    .paths = tranca::paths::kMacOS,
    .proxyTools = {"/opt/homebrew/bin/mitmdump", "/usr/local/bin/mitmdump"},
    .cacheFlush = "dscacheutil -flushcache; killall -HUP mDNSResponder",
    .notUsedText = "El Mac no usa el filtro",
    .deactivateText = "Los sitios para adultos van a volver a abrir en este Mac.",
    .uninstallText =
        "Se quita el filtro y el Mac vuelve a los DNS que tenía antes. La app "
        "queda; la podés borrar después.",
    .keywordFilterText =
        "Para leer las páginas seguras confía en un certificado propio de este "
        "Mac. Los bancos, el correo y tus sitios permitidos no se tocan. Algunas "
        "apps pueden fallar mientras esté activo.",
    .includedPageLabel = "Página de este Mac",
    .keywordFilterNeedsTool = "Avanzado. Necesita mitmproxy (Homebrew).",
    .cardNotInstalledDetail = "Los sitios para adultos dejan de abrir en este Mac.",
    .cardOfflineTitle = "El Mac se quedó sin internet",
    .cardNotUsedTitle = "El Mac no está usando el filtro",
    .cardOffDetail = "Los sitios para adultos abren en este Mac.",
    .missingPartText = "Abrí Amparo desde Amparo.app (scripts/build_app.sh la arma).",
    .missingToolText =
        "El filtro por palabras usa mitmproxy. Instalalo con Homebrew (en la "
        "Terminal: brew install mitmproxy) y volvé a activarlo.",
    .missingToolCommand = "brew install mitmproxy",
    .serviceOffMarker = "Ítems de inicio",
    .serviceOffTitle = "Amparo está apagado en Ítems de inicio",
    .serviceOffText =
        "Encendelo en Configuración del Sistema › General › Ítems de inicio (en "
        "«Permitir en segundo plano») y volvé a activar la protección.",
    .serviceOffButton = "Abrir Ítems de inicio",
    .serviceOffUrl = "x-apple.systempreferences:com.apple.LoginItems-Settings.extension",
    .serviceOffCommand = "",
};

inline constexpr AppOsTable kLinux{
    .paths = tranca::paths::kLinux,
    .proxyTools = {"/usr/bin/mitmdump", "/usr/local/bin/mitmdump"},
    .cacheFlush = "resolvectl flush-caches >/dev/null 2>&1",
    .notUsedText = "El equipo no usa el filtro",
    .deactivateText = "Los sitios para adultos van a volver a abrir en este equipo.",
    .uninstallText =
        "Se quita el filtro y el equipo vuelve a los DNS que tenía antes. La app "
        "queda; la podés quitar después.",
    .keywordFilterText =
        "Para leer las páginas seguras confía en un certificado propio de este "
        "equipo. Los bancos, el correo y tus sitios permitidos no se tocan. "
        "Algunas apps pueden fallar mientras esté activo.",
    .includedPageLabel = "Página de este equipo",
    .keywordFilterNeedsTool = "Avanzado. Necesita mitmproxy (apt).",
    .cardNotInstalledDetail = "Los sitios para adultos dejan de abrir en este equipo.",
    .cardOfflineTitle = "El equipo se quedó sin internet",
    .cardNotUsedTitle = "El equipo no está usando el filtro",
    .cardOffDetail = "Los sitios para adultos abren en este equipo.",
    .missingPartText =
        "Abrí Amparo desde el paquete instalado (/usr/lib/amparo/Amparo) o desde "
        "una compilación completa (scripts/build.sh release la arma en "
        "build/release/lib/amparo).",
    .missingToolText =
        "El filtro por palabras usa mitmproxy. Instalalo con apt (en una "
        "terminal: sudo apt install mitmproxy) y volvé a activarlo.",
    .missingToolCommand = "sudo apt install mitmproxy",
    // install.sh: "El servicio tranca.service está enmascarado (systemctl mask)…"
    .serviceOffMarker = "enmascarado",
    .serviceOffTitle = "El servicio de Amparo está enmascarado",
    .serviceOffText =
        "Un administrador bloqueó el servicio tranca.service con systemctl mask, "
        "así que el sistema no lo deja arrancar. Quitale la máscara en una "
        "terminal (sudo systemctl unmask tranca.service) y volvé a activar la "
        "protección.",
    .serviceOffButton = "Copiar el comando",
    .serviceOffUrl = "",
    .serviceOffCommand = "sudo systemctl unmask tranca.service",
};

#if defined(__APPLE__)
inline constexpr const AppOsTable& kCurrent = kMacOS;
#else
inline constexpr const AppOsTable& kCurrent = kLinux;
#endif

}  // namespace amparo::os
