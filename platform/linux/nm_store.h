// Machines run by NetworkManager: one service whose servers are the global
// DNS configuration (servers of the domain "*"), which overrides the DNS of
// every connection. Empty servers clear the global configuration, so each
// connection's own (automatic or manual) DNS applies again.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/single_service_store.h"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace tranca::platform {

inline constexpr std::string_view kNetworkManagerServiceId = "NetworkManager";

class NetworkManagerStore final : public SingleServiceStore {
  public:
    // nullptr when the system bus cannot be reached or NetworkManager does
    // not own its name there.
    static std::unique_ptr<NetworkManagerStore> open(std::string lockPath,
                                                     std::unique_ptr<DconfProxy> proxy);
    ~NetworkManagerStore() override;

    std::vector<ServiceInfo> services() override;

  private:
    struct Bus;
    NetworkManagerStore(std::unique_ptr<Bus> bus, std::string lockPath,
                        std::unique_ptr<DconfProxy> proxy);

    std::optional<Dictionary> readDns() override;
    bool commitDns(const Dictionary& dns) override;
    bool applyDns() override;

    std::unique_ptr<Bus> bus_;
    std::optional<std::vector<std::string>> committedServers_;
};

}  // namespace tranca::platform
