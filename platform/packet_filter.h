// The kernel's packet filter, as the DNS lock uses it: scripts in nft's own
// language, each run as one transaction. The Linux side loads libnftables at
// run time, so a machine without it (or a kernel without nf_tables) still
// runs the filter, only without the lock.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tranca::platform {

class PacketFilter {
  public:
    virtual ~PacketFilter() = default;
    // Runs the commands as one transaction; what they printed ("list"
    // commands), none when the kernel refused them (see lastError).
    virtual std::optional<std::string> run(std::string_view commands) = 0;
    virtual std::string lastError() const = 0;
};

// This machine's packet filter; none when libnftables cannot be loaded.
std::unique_ptr<PacketFilter> systemPacketFilter();

}  // namespace tranca::platform
