// The wait before loosening, as the daemon and Amparo both speak it: the
// choices, the words of each pending change, and the unprivileged socket on
// which anyone may list the pending changes or cancel them (cancelling only
// tightens, so it needs no password).
//
// On the socket a client sends one line, "lista" or "cancelar", and reads
// until "fin":
//   espera <seconds>                       the chosen wait
//   pendiente <id> <action> <seconds left> <value>
//   fallo <id> <text to the end of the line>
//   cancelados <count>                     (reply to "cancelar")
//   fin
// <value> is the new wait in seconds for "espera", the number of site
// changes for "sitios", "-" otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace amparo::wait {

inline constexpr std::string_view kSocketPath = "/run/tranca/espera.sock";
inline constexpr std::string_view kListCommand = "lista";
inline constexpr std::string_view kCancelCommand = "cancelar";
inline constexpr std::string_view kEnd = "fin";
// The first word of each reply line.
inline constexpr std::string_view kWaitLine = "espera";
inline constexpr std::string_view kPendingLine = "pendiente";
inline constexpr std::string_view kFailureLine = "fallo";
inline constexpr std::string_view kCancelledLine = "cancelados";

// The choices of "Espera para aflojar", in seconds; 0 (none) is the default.
inline constexpr std::array<std::int64_t, 7> kChoices{0,       5 * 60,   15 * 60,  30 * 60,
                                                      60 * 60, 4 * 3600, 24 * 3600};

// The loosening changes that wait.
inline constexpr std::string_view kDeactivate = "desactivar";
inline constexpr std::string_view kUninstall = "desinstalar";
inline constexpr std::string_view kKeywordFilterOff = "desactivar-filtro-palabras";
inline constexpr std::string_view kSites = "sitios";
inline constexpr std::string_view kShortenWait = "espera";

// The line between custom.txt's text and allow.txt's in a site-lists save.
inline constexpr std::string_view kSitesSeparator = "[permitidos]";

// The line a root command prints when it recorded a change instead of making
// it: "Pendiente: <what happens> en <time>. …".
inline constexpr std::string_view kQueuedPrefix = "Pendiente: ";

}  // namespace amparo::wait
