// Who listens on a loopback TCP port. The filter points every browser at the
// keyword proxy's port, so it trusts the port only while the proxy's own user
// holds it: any user may bind 127.0.0.1:8080 while the proxy is down.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tranca::platform {

// The owners (uids) of the listening sockets in one kernel socket table
// (the text of /proc/net/tcp, or of /proc/net/tcp6 with ipv6) that take
// connections to 127.0.0.1:port: bound to it or to every address. Lines that
// do not parse are skipped.
std::vector<std::uint32_t> loopbackListeners(std::string_view table, std::uint16_t port, bool ipv6);

// The uid of a user of the system; nullopt when there is none.
std::optional<std::uint32_t> userId(std::string_view name);

// True when something listens for 127.0.0.1:port and every such listener
// belongs to user; false when the tables cannot be read.
bool loopbackPortHeldBy(std::string_view user, std::uint16_t port);

}  // namespace tranca::platform
