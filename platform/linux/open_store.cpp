#include "platform/linux/nm_store.h"
#include "platform/linux/resolvconf_store.h"

namespace tranca::platform {

std::unique_ptr<NetworkStore> openNetworkStore(std::string_view name) {
    // The name identifies the writer to stores that record one; neither
    // Linux backend does.
    (void)name;
    if (auto store = NetworkManagerStore::open(std::string(kStoreLockFile), DconfProxy::detect())) {
        return store;
    }
    return std::make_unique<ResolvConfStore>("/etc/resolv.conf", std::string(kStoreLockFile),
                                             DconfProxy::detect());
}

}  // namespace tranca::platform
