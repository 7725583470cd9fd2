// A DNS query as a stub resolver writes it: one question, recursion desired,
// nothing else. The tray application asks the filter's status with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "daemon/wire/dns_wire.h"

namespace tranca {

// The query with this ID for name (dotted text, empty labels skipped) of
// this type in class IN; nothing when a label is longer than 63 octets or
// the name longer than 255 on the wire.
std::optional<std::vector<std::byte>> buildQuery(std::uint16_t id, std::string_view name,
                                                 RecordType type);

}  // namespace tranca
