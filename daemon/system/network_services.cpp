#include "daemon/system/network_services.h"

namespace tranca {

std::vector<platform::ServiceInfo> enabledServices(platform::NetworkStore& store) {
    std::vector<platform::ServiceInfo> out;
    for (platform::ServiceInfo& service : store.services()) {
        if (service.enabled) {
            out.push_back(std::move(service));
        }
    }
    return out;
}

std::string displayName(const platform::ServiceInfo& service) {
    return service.name.empty() ? service.id : service.name;
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += items[i];
    }
    return out;
}

}  // namespace tranca
