// Start-up configuration of trancad: computed once from the environment and the
// command line before any listener or timer exists, read-only afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contract/filter.h"

namespace tranca {

using Environment = std::map<std::string, std::string, std::less<>>;

// The family-filtering resolvers. Fixed in the program on purpose: nothing on
// the machine (files, environment, arguments) may point the filter elsewhere.
namespace resolvers {
inline constexpr std::string_view kCloudflareFamilyPrimary = amparo::contract::kBackupServers[0];
inline constexpr std::string_view kCloudflareFamilySecondary = amparo::contract::kBackupServers[1];
inline constexpr std::string_view kCloudflareFamilyPrimaryV6 = amparo::contract::kBackupServers[2];
inline constexpr std::string_view kCloudflareFamilySecondaryV6 =
    amparo::contract::kBackupServers[3];
inline constexpr std::string_view kOpenDnsFamilyShieldPrimary = "208.67.222.123";
inline constexpr std::string_view kOpenDnsFamilyShieldSecondary = "208.67.220.123";
}  // namespace resolvers

inline constexpr std::string_view kBuiltInBlockDestination = amparo::contract::kStopPageUrl;
inline constexpr std::string_view kUsageText =
    "Uso: trancad --dns local|respaldo|original|estado · trancad --proxy apagado · "
    "trancad --bloqueo respaldo|quitar · "
    "trancad --espera estado|cancelar|desactivar|desinstalar|desactivar-filtro-palabras|"
    "guardar-sitios|fijar · trancad --cumplir <número> · "
    "trancad --aviso desactivada|filtro-palabras-desactivado|desinstalacion|reinicio · "
    "trancad --avisos enviar · trancad --confianza guardar · trancad --probar-aviso\n";

struct DaemonConfig {
    Environment environment;
    std::string dataDirectory;
    std::string blocklistPath;
    std::string customPath;
    std::string allowPath;
    std::uint16_t dnsPort = 53;
    std::uint16_t httpPort = 80;
    std::string listenHost = "127.0.0.1";
    std::array<std::uint8_t, 4> blockAddress{127, 0, 0, 1};
    std::string statusName{amparo::contract::kStatusName};
    std::array<std::uint8_t, 4> statusAddress = amparo::contract::kStatusAddressBytes;
    std::vector<std::string> arguments;
    std::string redirectPath;
    std::string defaultRedirect;
    std::vector<std::string> plainUpstreams;
    std::vector<std::string> dohUpstreams;
    // TRANCAD_CACHE=0: every forwarded query goes upstream (tests, comparisons).
    bool answerCache = true;
    // The wait before loosening: its state file, the unprivileged socket
    // (TRANCAD_ESPERA_SOCKET for tests) and how many times faster its time
    // runs (TRANCAD_ESPERA_ESCALA, test machines only; 1 otherwise).
    std::string waitFile;
    std::string waitSocket;
    int waitScale = 1;
};

// Root, or a test run with its own data folder: the root-only command lines
// then work on that folder.
bool actsAsRoot(const DaemonConfig& config);

// "+"/"-" then decimal digits only, 0..65535 ("-0" is 0); anything else gives
// the fallback, silently.
std::uint16_t parsePort(const std::optional<std::string_view>& text, std::uint16_t fallback);

// Snapshot of the process environment.
Environment captureEnvironment(char** envp);

// Step 1 of the start-up: everything that depends only on the environment.
DaemonConfig makeBaseConfig(Environment environment, std::vector<std::string> arguments);

// Step 3 of the start-up: the destination and upstream fields.
void completeDaemonConfig(DaemonConfig& config);

// True when text looks like an absolute http(s) URL with a host.
bool isUsableUrl(std::string_view text);

}  // namespace tranca
