// What "--dns estado" prints: per enabled service, its DNS servers and the
// HTTPS proxy it uses.
#pragma once

#include <string>
#include <vector>

#include "platform/network_store.h"

namespace tranca {

// One line per enabled service, in the store's order.
std::vector<std::string> serviceStatusLines(platform::NetworkStore& store);

}  // namespace tranca
