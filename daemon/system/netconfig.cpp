#include "daemon/system/netconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <plist/plist.h>
#include <cstdlib>

#include "daemon/log.h"
#include "platform/posix/file_util.h"

namespace tranca {

using platform::Dictionary;
using platform::NetworkStore;
using platform::Protocol;
using platform::ServiceInfo;

namespace {

constexpr std::size_t kMaxOriginalBytes = 1 << 20;

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

std::string displayName(const ServiceInfo& service) {
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

bool isOurs(const Dictionary& proxies, std::string_view hostKey, std::string_view portKey) {
    const auto host = platform::textValue(proxies, hostKey);
    const auto port = platform::integerValue(proxies, portKey);
    return host && port && *host == kContentFilterHost && *port == kContentFilterPort;
}

void writeOut(std::string_view text) {
    platform::posix_files::writeAll(STDOUT_FILENO, text);
}

// Owns a libplist node.
struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

}  // namespace

bool managesSystemDNS(const DaemonConfig& config) {
    const auto found = config.environment.find("TRANCAD_DNS");
    if (found != config.environment.end() && found->second == "0") {
        return false;
    }
    return ::geteuid() == 0;
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

std::vector<ServiceInfo> enabledServices(NetworkStore& store) {
    std::vector<ServiceInfo> out;
    for (ServiceInfo& service : store.services()) {
        if (service.enabled) {
            out.push_back(std::move(service));
        }
    }
    return out;
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

bool setServiceProxy(NetworkStore& store, const ServiceInfo& service, bool on) {
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

std::optional<std::string> serializeOriginalDNS(const OriginalDNS& original) {
    PlistPtr root(plist_new_dict());
    for (const auto& [id, servers] : original) {
        plist_t array = plist_new_array();
        for (const std::string& server : servers) {
            plist_array_append_item(array, plist_new_string(server.c_str()));
        }
        plist_dict_set_item(static_cast<plist_t>(root.get()), id.c_str(), array);
    }
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root.get()), &xml, &length);
    if (xml == nullptr) {
        return std::nullopt;
    }
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

std::optional<OriginalDNS> parseOriginalDNS(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > kMaxOriginalBytes) {
        return std::nullopt;
    }
    plist_t parsed = nullptr;
    plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    PlistPtr root(parsed);
    if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT) {
        return std::nullopt;
    }
    OriginalDNS out;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(parsed, &iterator);
    bool valid = true;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(parsed, iterator, &key, &value);
        if (key == nullptr) {
            break;
        }
        const std::string id(key);
        std::free(key);
        if (value == nullptr || plist_get_node_type(value) != PLIST_ARRAY) {
            valid = false;
            break;
        }
        std::vector<std::string> servers;
        const std::uint32_t count = plist_array_get_size(value);
        for (std::uint32_t i = 0; i < count && valid; ++i) {
            plist_t item = plist_array_get_item(value, i);
            if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
                valid = false;
                break;
            }
            char* text = nullptr;
            plist_get_string_val(item, &text);
            servers.emplace_back(text != nullptr ? text : "");
            std::free(text);
        }
        out[id] = std::move(servers);
    }
    std::free(iterator);
    if (!valid) {
        return std::nullopt;
    }
    return out;
}

NetConfig::NetConfig(const DaemonConfig& config, StoreOpener opener)
    : config_(config), opener_(std::move(opener)) {
    if (!opener_) {
        opener_ = [] { return platform::openNetworkStore("trancad"); };
    }
}

bool NetConfig::applyToServices(std::string_view label, std::string_view reason,
                                const Change& change) {
    auto store = opener_();
    if (!store) {
        return false;
    }
    bool needed = false;
    for (const ServiceInfo& service : enabledServices(*store)) {
        if (change(*store, service)) {
            needed = true;
            break;
        }
    }
    // The dry run's edits are dropped with its handle.
    store.reset();
    if (!needed) {
        return false;
    }
    store = opener_();
    if (!store) {
        return false;
    }
    if (!store->lock()) {
        logLine("No se pudo abrir la configuración de red: " + store->lastError());
        return false;
    }
    std::vector<std::string> changed;
    for (const ServiceInfo& service : enabledServices(*store)) {
        if (change(*store, service)) {
            changed.push_back(displayName(service));
        }
    }
    if (changed.empty()) {
        store->unlock();
        return false;
    }
    if (!store->commit() || !store->apply()) {
        logLine("No se pudo guardar " + std::string(label) + ": " + store->lastError());
        store->unlock();
        return false;
    }
    logLine(std::string(label) + " en " + joined(changed, ", ") + " (" + std::string(reason) + ")");
    store->unlock();
    return true;
}

std::optional<std::string> NetConfig::unreadableDNS() {
    auto store = opener_();
    if (!store) {
        return std::nullopt;
    }
    return tranca::unreadableDNS(*store);
}

bool NetConfig::setDNSMode(DNSMode mode, std::string_view reason) {
    if (!managesSystemDNS()) {
        return false;
    }
    if (const auto why = unreadableDNS()) {
        logLine("No se cambió a " + std::string(modeLabel(mode)) + ": " + *why);
        return false;
    }
    switch (mode) {
        case DNSMode::local:
            return applyToServices(modeLabel(mode), reason,
                                   [](NetworkStore& store, const ServiceInfo& s) {
                                       return setServiceDNS(store, s, localServers());
                                   });
        case DNSMode::respaldo:
            return applyToServices(modeLabel(mode), reason,
                                   [](NetworkStore& store, const ServiceInfo& s) {
                                       return setServiceDNS(store, s, backupServers());
                                   });
        case DNSMode::original: {
            const OriginalDNS original = loadOriginalDNS();
            return applyToServices(
                modeLabel(mode), reason, [&original](NetworkStore& store, const ServiceInfo& s) {
                    const auto found = original.find(s.id);
                    return setServiceDNS(
                        store, s,
                        found == original.end() ? std::vector<std::string>{} : found->second);
                });
        }
    }
    return false;
}

bool NetConfig::setSystemProxy(std::string_view label, std::string_view reason, bool on) {
    return applyToServices(label, reason, [on](NetworkStore& store, const ServiceInfo& service) {
        return setServiceProxy(store, service, on);
    });
}

void NetConfig::saveOriginalDNS() {
    if (!managesSystemDNS()) {
        return;
    }
    const std::string path = originalPath();
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        return;
    }
    auto store = opener_();
    if (!store) {
        return;
    }
    // Unread servers would be recorded as none; the switch that follows says
    // why it does not happen either.
    if (tranca::unreadableDNS(*store)) {
        return;
    }
    OriginalDNS original;
    for (const ServiceInfo& service : enabledServices(*store)) {
        std::vector<std::string> servers = serversOf(*store, service);
        // Our own settings are not what the user had.
        if (servers == localServers() || servers == backupServers()) {
            servers.clear();
        }
        original[service.id] = std::move(servers);
    }
    store.reset();
    const auto bytes = serializeOriginalDNS(original);
    if (!bytes) {
        return;
    }
    // A fresh installation may not have its data directory yet; without it
    // the servers found now would never be recorded.
    ::mkdir(config_.dataDirectory.c_str(), 0755);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return;
    }
    ::fchmod(fd, 0644);
    bool ok = platform::posix_files::writeAll(fd, *bytes);
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    if (!ok) {
        // A half-written record would read as empty forever: drop it so the
        // next attempt starts again.
        ::unlink(path.c_str());
        return;
    }
    logLine("DNS de antes de Amparo guardados (" + std::to_string(original.size()) + " servicios)");
}

OriginalDNS NetConfig::loadOriginalDNS() const {
    const auto bytes = platform::posix_files::readFile(originalPath(), kMaxOriginalBytes);
    if (!bytes) {
        return {};
    }
    return parseOriginalDNS(*bytes).value_or(OriginalDNS{});
}

std::vector<std::string> NetConfig::statusLines() {
    std::vector<std::string> lines;
    auto store = opener_();
    if (!store) {
        return lines;
    }
    for (const ServiceInfo& service : enabledServices(*store)) {
        const std::vector<std::string> servers = serversOf(*store, service);
        std::string proxyText = "sin proxy";
        if (store->hasProtocol(service.id, Protocol::proxies)) {
            const Dictionary proxies =
                store->configuration(service.id, Protocol::proxies).value_or(Dictionary{});
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

void NetConfig::printStatus() {
    for (const std::string& line : statusLines()) {
        writeOut(line + "\n");
    }
}

}  // namespace tranca
