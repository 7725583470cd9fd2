#include "daemon/system/dns_settings.h"

#include "daemon/config.h"
#include "daemon/system/network_services.h"

namespace tranca {

using platform::Dictionary;
using platform::NetworkStore;
using platform::Protocol;
using platform::ServiceInfo;

std::string_view modeLabel(DNSMode mode) {
    switch (mode) {
        case DNSMode::local:
            return "DNS local";
        case DNSMode::respaldo:
            return "DNS respaldo";
        case DNSMode::original:
            return "DNS original";
    }
    return "DNS";
}

const std::vector<std::string>& localServers() {
    static const std::vector<std::string> servers{"127.0.0.1"};
    return servers;
}

const std::vector<std::string>& backupServers() {
    static const std::vector<std::string> servers{
        std::string(resolvers::kCloudflareFamilyPrimary),
        std::string(resolvers::kCloudflareFamilySecondary),
        std::string(resolvers::kCloudflareFamilyPrimaryV6),
        std::string(resolvers::kCloudflareFamilySecondaryV6),
    };
    return servers;
}

std::vector<std::string> serversOf(NetworkStore& store, const ServiceInfo& service) {
    if (!store.hasProtocol(service.id, Protocol::dns)) {
        return {};
    }
    const auto configuration = store.configuration(service.id, Protocol::dns);
    if (!configuration) {
        return {};
    }
    return platform::textListValue(*configuration, "ServerAddresses")
        .value_or(std::vector<std::string>{});
}

std::optional<std::string> unreadableDNS(NetworkStore& store) {
    for (const ServiceInfo& service : enabledServices(store)) {
        if (store.hasProtocol(service.id, Protocol::dns) &&
            !store.configuration(service.id, Protocol::dns)) {
            const std::string why = store.lastError();
            return "no se pudo leer entera la configuración DNS de " + displayName(service) +
                   (why.empty() ? std::string() : " (" + why + ")");
        }
    }
    return std::nullopt;
}

bool setServiceDNS(NetworkStore& store, const ServiceInfo& service,
                   const std::vector<std::string>& servers) {
    bool added = false;
    if (!store.hasProtocol(service.id, Protocol::dns)) {
        if (servers.empty() || !store.addProtocol(service.id, Protocol::dns) ||
            !store.hasProtocol(service.id, Protocol::dns)) {
            return false;
        }
        added = true;
    }
    std::optional<Dictionary> read = store.configuration(service.id, Protocol::dns);
    if (!read && !added) {
        // Staged from nothing, the write would drop the keys we could not read.
        return false;
    }
    Dictionary configuration = std::move(read).value_or(Dictionary{});
    const auto current = platform::textListValue(configuration, "ServerAddresses")
                             .value_or(std::vector<std::string>{});
    if (current == servers) {
        return false;
    }
    if (servers.empty()) {
        configuration.erase("ServerAddresses");
    } else {
        configuration["ServerAddresses"] = servers;
    }
    return store.setConfiguration(service.id, Protocol::dns, configuration);
}

}  // namespace tranca
