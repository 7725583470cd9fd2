// The services of the network settings store that the daemon's changes
// touch, and how they are named in its lines.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network_store.h"

namespace tranca {

using StoreOpener = std::function<std::unique_ptr<platform::NetworkStore>()>;

// The enabled services of the handle's current set, in order.
std::vector<platform::ServiceInfo> enabledServices(platform::NetworkStore& store);

// The service's name, or its identifier when it has none.
std::string displayName(const platform::ServiceInfo& service);

// items with separator between them.
std::string joined(const std::vector<std::string>& items, std::string_view separator);

}  // namespace tranca
