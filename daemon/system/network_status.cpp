#include "daemon/system/network_status.h"

#include "daemon/log.h"
#include "daemon/system/dns_settings.h"
#include "daemon/system/network_services.h"

namespace tranca {

using platform::Dictionary;
using platform::Protocol;
using platform::ServiceInfo;

std::vector<std::string> serviceStatusLines(platform::NetworkStore& store) {
    std::vector<std::string> lines;
    for (const ServiceInfo& service : enabledServices(store)) {
        const std::vector<std::string> servers = serversOf(store, service);
        std::string proxyText = "sin proxy";
        if (store.hasProtocol(service.id, Protocol::proxies)) {
            const Dictionary proxies =
                store.configuration(service.id, Protocol::proxies).value_or(Dictionary{});
            if (platform::integerValue(proxies, "HTTPSEnable").value_or(0) == 1) {
                proxyText =
                    platform::textValue(proxies, "HTTPSProxy").value_or("?") + ":" +
                    std::to_string(platform::integerValue(proxies, "HTTPSPort").value_or(0));
            }
        }
        // Names come from outside (a connection's name): keep them on one line.
        std::string line;
        appendEscaped(
            line, displayName(service) + ": DNS " +
                      (servers.empty() ? std::string("del router") : joined(servers, " ")) + " · " +
                      proxyText);
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace tranca
