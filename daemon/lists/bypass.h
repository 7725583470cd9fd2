// Names that let a browser or a program step around this DNS: the canaries
// browsers ask before turning on their own DNS-over-HTTPS (answered
// NXDOMAIN, which keeps it off), and the public encrypted resolvers that do
// not filter (answered as blocked, so they cannot be reached by name).
#pragma once

#include <string_view>

namespace tranca {

enum class BypassName { none, canary, encryptedResolver };

// Case-insensitive; allocates nothing.
BypassName classifyBypassName(std::string_view name);

}  // namespace tranca
