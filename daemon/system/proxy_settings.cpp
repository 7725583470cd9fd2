#include "daemon/system/proxy_settings.h"

#include <string>
#include <vector>

namespace tranca {

using platform::Dictionary;
using platform::Protocol;

namespace {

bool isOurs(const Dictionary& proxies, std::string_view hostKey, std::string_view portKey) {
    const auto host = platform::textValue(proxies, hostKey);
    const auto port = platform::integerValue(proxies, portKey);
    return host && port && *host == kContentFilterHost && *port == kContentFilterPort;
}

}  // namespace

bool setServiceProxy(platform::NetworkStore& store, const platform::ServiceInfo& service, bool on) {
    if (!store.hasProtocol(service.id, Protocol::proxies)) {
        if (!on || !store.addProtocol(service.id, Protocol::proxies) ||
            !store.hasProtocol(service.id, Protocol::proxies)) {
            return false;
        }
    }
    Dictionary proxies = store.configuration(service.id, Protocol::proxies).value_or(Dictionary{});
    const bool httpEnabled = platform::integerValue(proxies, "HTTPEnable").value_or(0) == 1;
    const bool httpsEnabled = platform::integerValue(proxies, "HTTPSEnable").value_or(0) == 1;
    const bool httpOurs = isOurs(proxies, "HTTPProxy", "HTTPPort");
    const bool httpsOurs = isOurs(proxies, "HTTPSProxy", "HTTPSPort");
    if (on) {
        if (httpEnabled && httpsEnabled) {
            return false;
        }
        // A proxy of the user's is left alone.
        if ((httpsEnabled && !httpsOurs) || (httpEnabled && !httpOurs)) {
            return false;
        }
        proxies["HTTPEnable"] = std::int64_t{1};
        proxies["HTTPProxy"] = std::string(kContentFilterHost);
        proxies["HTTPPort"] = std::int64_t{kContentFilterPort};
        proxies["HTTPSEnable"] = std::int64_t{1};
        proxies["HTTPSProxy"] = std::string(kContentFilterHost);
        proxies["HTTPSPort"] = std::int64_t{kContentFilterPort};
        proxies["ExceptionsList"] =
            std::vector<std::string>{"*.local", "169.254/16", "localhost", "127.0.0.1"};
    } else {
        if (!(httpEnabled && httpOurs) && !(httpsEnabled && httpsOurs)) {
            return false;
        }
        if (httpOurs) {
            proxies["HTTPEnable"] = std::int64_t{0};
        }
        if (httpsOurs) {
            proxies["HTTPSEnable"] = std::int64_t{0};
        }
    }
    return store.setConfiguration(service.id, Protocol::proxies, proxies);
}

}  // namespace tranca
