// The DNS servers of the machine's network services: the filter's own, the
// backup resolvers, reading them and setting them per service.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network_store.h"

namespace tranca {

enum class DNSMode { local, respaldo, original };

// "DNS local", "DNS respaldo", "DNS original", as the log names a switch.
std::string_view modeLabel(DNSMode mode);

// The filter itself (no IPv6 loopback).
const std::vector<std::string>& localServers();
// Cloudflare's family resolvers: IPv4 primary, secondary, IPv6 primary, secondary.
const std::vector<std::string>& backupServers();

// The servers a service names; none when it has no DNS settings or they
// cannot be read.
std::vector<std::string> serversOf(platform::NetworkStore& store,
                                   const platform::ServiceInfo& service);

// Why the DNS settings of an enabled service cannot be read whole, naming the
// service; nullopt when every one can. Nothing is switched or recorded then:
// settings taken for empty would be lost to the change or to the record.
std::optional<std::string> unreadableDNS(platform::NetworkStore& store);

// True when the service's configuration was rewritten. A DNS configuration
// that is there but cannot be read is left alone.
bool setServiceDNS(platform::NetworkStore& store, const platform::ServiceInfo& service,
                   const std::vector<std::string>& servers);

}  // namespace tranca
