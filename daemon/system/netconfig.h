// Changing the machine's DNS servers and web proxy through the network
// settings store, and the record of the servers found before the first switch.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/config.h"
#include "platform/network_store.h"

namespace tranca {

// False when TRANCAD_DNS is "0"; otherwise true exactly when running as root.
bool managesSystemDNS(const DaemonConfig& config);

enum class DNSMode { local, respaldo, original };

// The filter itself (no IPv6 loopback).
const std::vector<std::string>& localServers();
// Cloudflare's family resolvers: IPv4 primary, secondary, IPv6 primary, secondary.
const std::vector<std::string>& backupServers();

// Where the content filter listens, and so where the system proxy points.
inline constexpr std::string_view kContentFilterHost = "127.0.0.1";
inline constexpr std::uint16_t kContentFilterPort = 8080;
inline constexpr std::string_view kOriginalDnsFile = "/dns-original.plist";

using OriginalDNS = std::map<std::string, std::vector<std::string>, std::less<>>;
using StoreOpener = std::function<std::unique_ptr<platform::NetworkStore>()>;

// The enabled services of the handle's current set, in order.
std::vector<platform::ServiceInfo> enabledServices(platform::NetworkStore& store);

// Why the DNS settings of an enabled service cannot be read whole, naming the
// service; nullopt when every one can. Nothing is switched or recorded then:
// settings taken for empty would be lost to the change or to the record.
std::optional<std::string> unreadableDNS(platform::NetworkStore& store);

// Per-service changes; true when the service's configuration was rewritten.
// A DNS configuration that is there but cannot be read is left alone.
bool setServiceDNS(platform::NetworkStore& store, const platform::ServiceInfo& service,
                   const std::vector<std::string>& servers);
bool setServiceProxy(platform::NetworkStore& store, const platform::ServiceInfo& service, bool on);

// dns-original.plist as XML property list bytes and back; parse gives nullopt
// for anything but a dictionary of text arrays.
std::optional<std::string> serializeOriginalDNS(const OriginalDNS& original);
std::optional<OriginalDNS> parseOriginalDNS(std::string_view bytes);

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
    std::string originalPath() const {
        return config_.dataDirectory + std::string(kOriginalDnsFile);
    }

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
