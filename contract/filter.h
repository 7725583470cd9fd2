// What the daemon, Amparo and the installer scripts must agree on: the name
// and address the filter answers to show it is there, where a block leads by
// default, the backup resolvers the machine falls back to, and the marker of
// a block in the log. scripts/installer/common.sh repeats the first three in
// shell; a test holds it to this file.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace amparo::contract {

// The status name: trancad answers it with the status address, so a program
// can tell the machine resolves through the filter.
inline constexpr std::string_view kStatusName = "estado.amparo.internal";
inline constexpr std::string_view kStatusAddress = "127.0.0.2";
inline constexpr std::array<std::uint8_t, 4> kStatusAddressBytes{127, 0, 0, 2};

// The project's public stop page, the default block destination.
inline constexpr std::string_view kStopPageUrl = "https://www.amparo-filtro.org/stop";

// What "trancad --dns respaldo" writes, in its order: Cloudflare's family
// resolvers, IPv4 primary and secondary, then IPv6 primary and secondary.
inline constexpr std::array<std::string_view, 4> kBackupServers{
    "1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"};

// Every log line of a blocked name holds this, then the name.
inline constexpr std::string_view kBlockedMarker = "BLOQUEADO ";

}  // namespace amparo::contract
