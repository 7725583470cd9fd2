// Machines run by NetworkManager: one service whose servers are the global
// DNS configuration (servers of the domain "*"), which overrides the DNS of
// every connection. Empty servers clear the global configuration, so each
// connection's own (automatic or manual) DNS applies again.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/dconf_proxy.h"
#include "platform/linux/file_util.h"
#include "platform/network_store.h"

namespace sdbus {
class IConnection;
class IProxy;
}  // namespace sdbus

namespace tranca::platform {

inline constexpr std::string_view kNetworkManagerServiceId = "NetworkManager";

class NetworkManagerStore final : public NetworkStore {
  public:
    // nullptr when the system bus cannot be reached or NetworkManager does
    // not own its name there.
    static std::unique_ptr<NetworkManagerStore> open(std::string lockPath,
                                                     std::unique_ptr<DconfProxy> proxy);
    ~NetworkManagerStore() override;

    bool lock() override;
    void unlock() override { lock_.unlock(); }
    std::vector<ServiceInfo> services() override;
    bool hasProtocol(std::string_view serviceId, Protocol protocol) override;
    bool addProtocol(std::string_view serviceId, Protocol protocol) override;
    std::optional<Dictionary> configuration(std::string_view serviceId, Protocol protocol) override;
    bool setConfiguration(std::string_view serviceId, Protocol protocol,
                          const Dictionary& configuration) override;
    bool commit() override;
    bool apply() override;
    std::string lastError() const override { return error_; }

  private:
    struct Bus;
    NetworkManagerStore(std::unique_ptr<Bus> bus, std::string lockPath,
                        std::unique_ptr<DconfProxy> proxy);

    std::unique_ptr<Bus> bus_;
    linux_files::FileLock lock_;
    std::unique_ptr<DconfProxy> proxy_;
    std::optional<Dictionary> stagedDns_;
    std::optional<std::vector<std::string>> committedServers_;
    std::string error_;
};

}  // namespace tranca::platform
