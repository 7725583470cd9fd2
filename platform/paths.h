// Per-OS constants of the filter. The macOS values stand beside the Linux ones
// so a macOS backend only has to flip the selection below.
#pragma once

#include <string_view>

namespace tranca::paths {

struct OsPaths {
    std::string_view dataDirectory;
    std::string_view logFile;
    std::string_view daemonJobFile;
    std::string_view proxyJobFile;
    // The keyword proxy's own user: only its listener is trusted with the port.
    std::string_view proxyUser;
    // How the daemon's log lines name the machine ("… sin tocar el DNS del Mac").
    std::string_view machine;
};

inline constexpr OsPaths kMacOS{
    .dataDirectory = "/Library/Application Support/Tranca",
    .logFile = "/var/log/tranca.log",
    .daemonJobFile = "/Library/LaunchDaemons/com.tranca.daemon.plist",
    .proxyJobFile = "/Library/LaunchDaemons/com.tranca.proxy.plist",
    .proxyUser = "_tranca-proxy",
    .machine = "Mac",
};

inline constexpr OsPaths kLinux{
    .dataDirectory = "/var/lib/tranca",
    .logFile = "/var/log/tranca.log",
    .daemonJobFile = "/etc/systemd/system/tranca.service",
    .proxyJobFile = "/etc/systemd/system/tranca-proxy.service",
    .proxyUser = "tranca-proxy",
    .machine = "equipo",
};

#if defined(__APPLE__)
inline constexpr const OsPaths& kCurrent = kMacOS;
#else
inline constexpr const OsPaths& kCurrent = kLinux;
#endif

}  // namespace tranca::paths
