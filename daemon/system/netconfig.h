// Changing the machine's DNS servers and web proxy through the network
// settings store: each change tried on a handle first, then made under the
// store's lock and logged. What a change does to one service lives with its
// setting (dns_settings.h, proxy_settings.h).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/config.h"
#include "daemon/system/dns_settings.h"
#include "daemon/system/network_services.h"
#include "daemon/system/original_dns.h"
#include "platform/network_store.h"

namespace tranca {

// False when TRANCAD_DNS is "0"; otherwise true exactly when running as root.
bool managesSystemDNS(const DaemonConfig& config);

class NetConfig {
  public:
    // By default every operation opens its own handle on this machine's store
    // under the name "trancad".
    explicit NetConfig(const DaemonConfig& config, StoreOpener opener = {});

    bool managesSystemDNS() const { return tranca::managesSystemDNS(config_); }

    // unreadableDNS on a handle of its own; nullopt also when no handle opens.
    std::optional<std::string> unreadableDNS();

    // True when something was changed and saved. Logs and changes nothing
    // when the current DNS cannot be read whole.
    bool setDNSMode(DNSMode mode, std::string_view reason);
    bool setSystemProxy(std::string_view label, std::string_view reason, bool on);

    // Records the current servers once; later calls leave the file alone, and
    // so does a call while they cannot be read whole.
    void saveOriginalDNS();
    OriginalDNS loadOriginalDNS() const;
    std::string originalPath() const { return originalDnsPath(config_.dataDirectory); }

    // One line per enabled service, as "--dns estado" prints them.
    std::vector<std::string> statusLines();
    void printStatus();

    using Change = std::function<bool(platform::NetworkStore&, const platform::ServiceInfo&)>;
    // Dry run, then the locked pass with commit and apply; logs the change.
    bool applyToServices(std::string_view label, std::string_view reason, const Change& change);

  private:
    const DaemonConfig& config_;
    StoreOpener opener_;
};

}  // namespace tranca
