#include "app/core/service_servers.h"

#include "platform/network_store.h"

namespace amparo {

ServiceServers readServiceServers(tranca::platform::NetworkStore& store) {
    using tranca::platform::Protocol;
    const std::optional<std::string> primary = store.primaryService();
    ServiceServers result{.lists = {}, .primaryKnown = primary.has_value()};
    for (const auto& service : store.services()) {
        if (!service.enabled) {
            continue;
        }
        QStringList servers;
        if (const auto dns = store.configuration(service.id, Protocol::dns)) {
            for (const std::string& server :
                 tranca::platform::textListValue(*dns, "ServerAddresses")
                     .value_or(std::vector<std::string>{})) {
                servers << QString::fromStdString(server);
            }
        }
        if (primary && *primary == service.id) {
            return {.lists = {servers}, .primaryKnown = true};
        }
        result.lists.push_back(servers);
    }
    return result;
}

ServiceServers systemServiceServers() {
    const auto store = tranca::platform::openNetworkStore("Amparo");
    return store ? readServiceServers(*store) : ServiceServers{};
}

}  // namespace amparo
