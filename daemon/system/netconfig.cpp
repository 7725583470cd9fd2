#include "daemon/system/netconfig.h"

#include <unistd.h>

#include "daemon/log.h"
#include "daemon/system/network_status.h"
#include "daemon/system/proxy_settings.h"
#include "platform/posix/file_util.h"

namespace tranca {

using platform::NetworkStore;
using platform::ServiceInfo;

bool managesSystemDNS(const DaemonConfig& config) {
    const auto found = config.environment.find("TRANCAD_DNS");
    if (found != config.environment.end() && found->second == "0") {
        return false;
    }
    return ::geteuid() == 0;
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
    recordOriginalDNS(config_.dataDirectory, opener_);
}

OriginalDNS NetConfig::loadOriginalDNS() const {
    return readOriginalDNS(originalPath());
}

std::vector<std::string> NetConfig::statusLines() {
    auto store = opener_();
    if (!store) {
        return {};
    }
    return serviceStatusLines(*store);
}

void NetConfig::printStatus() {
    for (const std::string& line : statusLines()) {
        platform::posix_files::writeAll(STDOUT_FILENO, line + "\n");
    }
}

}  // namespace tranca
