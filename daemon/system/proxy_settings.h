// The web proxy of the machine's network services, pointed at the content
// filter and back; a proxy of the user's own is never touched.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/network_store.h"

namespace tranca {

// Where the content filter listens, and so where the system proxy points.
inline constexpr std::string_view kContentFilterHost = "127.0.0.1";
inline constexpr std::uint16_t kContentFilterPort = 8080;

// True when the service's configuration was rewritten.
bool setServiceProxy(platform::NetworkStore& store, const platform::ServiceInfo& service, bool on);

}  // namespace tranca
