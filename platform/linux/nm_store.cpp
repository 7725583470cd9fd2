#include "platform/linux/nm_store.h"

#include <sdbus-c++/sdbus-c++.h>
#include <exception>
#include <map>

namespace tranca::platform {

namespace {

constexpr const char* kBusName = "org.freedesktop.NetworkManager";
constexpr const char* kManagerPath = "/org/freedesktop/NetworkManager";
constexpr const char* kManagerInterface = "org.freedesktop.NetworkManager";
constexpr const char* kActiveInterface = "org.freedesktop.NetworkManager.Connection.Active";
constexpr const char* kGlobalDns = "GlobalDnsConfiguration";

using VariantMap = std::map<std::string, sdbus::Variant>;

std::optional<std::vector<std::string>> stringsOf(const VariantMap& map, const std::string& key) {
    const auto found = map.find(key);
    if (found == map.end() || !found->second.containsValueOfType<std::vector<std::string>>()) {
        return std::nullopt;
    }
    return found->second.get<std::vector<std::string>>();
}

std::optional<VariantMap> mapOf(const VariantMap& map, const std::string& key) {
    const auto found = map.find(key);
    if (found == map.end() || !found->second.containsValueOfType<VariantMap>()) {
        return std::nullopt;
    }
    return found->second.get<VariantMap>();
}

std::vector<std::string> defaultServers(const VariantMap& global) {
    const auto domains = mapOf(global, "domains");
    if (!domains) {
        return {};
    }
    const auto any = mapOf(*domains, "*");
    return any ? stringsOf(*any, "servers").value_or(std::vector<std::string>{})
               : std::vector<std::string>{};
}

}  // namespace

struct NetworkManagerStore::Bus {
    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<sdbus::IProxy> manager;

    VariantMap readGlobal() {
        return manager->getProperty(kGlobalDns).onInterface(kManagerInterface).get<VariantMap>();
    }
};

std::unique_ptr<NetworkManagerStore> NetworkManagerStore::open(std::string lockPath,
                                                               std::unique_ptr<DconfProxy> proxy) {
    try {
        auto bus = std::make_unique<Bus>();
        bus->connection = sdbus::createSystemBusConnection();
        auto dbus =
            sdbus::createProxy(*bus->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        bool owned = false;
        dbus->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(std::string(kBusName))
            .storeResultsTo(owned);
        if (!owned) {
            return nullptr;
        }
        bus->manager = sdbus::createProxy(*bus->connection, kBusName, kManagerPath);
        return std::unique_ptr<NetworkManagerStore>(
            new NetworkManagerStore(std::move(bus), std::move(lockPath), std::move(proxy)));
    } catch (const std::exception&) {
        return nullptr;
    }
}

NetworkManagerStore::NetworkManagerStore(std::unique_ptr<Bus> bus, std::string lockPath,
                                         std::unique_ptr<DconfProxy> proxy)
    : SingleServiceStore(kNetworkManagerServiceId, std::move(lockPath), std::move(proxy)),
      bus_(std::move(bus)) {}

NetworkManagerStore::~NetworkManagerStore() = default;

std::vector<ServiceInfo> NetworkManagerStore::services() {
    ServiceInfo service{std::string(kNetworkManagerServiceId), "NetworkManager", true};
    try {
        service.enabled = bus_->manager->getProperty("NetworkingEnabled")
                              .onInterface(kManagerInterface)
                              .get<bool>();
        // The name people recognise is the connection in use, though the
        // servers apply to all of them.
        const auto primary = bus_->manager->getProperty("PrimaryConnection")
                                 .onInterface(kManagerInterface)
                                 .get<sdbus::ObjectPath>();
        if (primary != "/") {
            auto active = sdbus::createProxy(*bus_->connection, kBusName, primary);
            const auto id =
                active->getProperty("Id").onInterface(kActiveInterface).get<std::string>();
            if (!id.empty()) {
                service.name = id;
            }
        }
    } catch (const std::exception& error) {
        error_ = std::string("NetworkManager no responde: ") + error.what();
        if (!service.enabled) {
            return {};
        }
    }
    return {service};
}

std::optional<Dictionary> NetworkManagerStore::readDns() {
    try {
        const VariantMap global = bus_->readGlobal();
        Dictionary out;
        if (auto servers = defaultServers(global); !servers.empty()) {
            out["ServerAddresses"] = std::move(servers);
        }
        if (auto searches = stringsOf(global, "searches")) {
            out["SearchDomains"] = std::move(*searches);
        }
        if (auto options = stringsOf(global, "options")) {
            out["Options"] = std::move(*options);
        }
        return out;
    } catch (const std::exception& error) {
        error_ = std::string("no se pudo leer el DNS global de NetworkManager: ") + error.what();
        return std::nullopt;
    }
}

bool NetworkManagerStore::commitDns(const Dictionary& dns) {
    try {
        const auto servers =
            textListValue(dns, "ServerAddresses").value_or(std::vector<std::string>{});
        // The property is replaced whole: start from what is there so the
        // searches, options and other domains survive.
        VariantMap global;
        if (!servers.empty()) {
            global = bus_->readGlobal();
            VariantMap domains = mapOf(global, "domains").value_or(VariantMap{});
            VariantMap any = mapOf(domains, "*").value_or(VariantMap{});
            any["servers"] = sdbus::Variant(servers);
            domains["*"] = sdbus::Variant(any);
            global["domains"] = sdbus::Variant(domains);
            for (const char* key : {"SearchDomains", "Options"}) {
                const std::string field =
                    key == std::string_view("Options") ? "options" : "searches";
                if (const auto list = textListValue(dns, key)) {
                    global[field] = sdbus::Variant(*list);
                } else {
                    global.erase(field);
                }
            }
        }
        bus_->manager->setProperty(kGlobalDns)
            .onInterface(kManagerInterface)
            .toValue(sdbus::Variant(global));
        committedServers_ = servers;
    } catch (const std::exception& error) {
        error_ = std::string("NetworkManager rechazó el DNS global: ") + error.what();
        return false;
    }
    return true;
}

bool NetworkManagerStore::applyDns() {
    if (committedServers_) {
        // NetworkManager applies the property as it takes it; read it back so
        // a refused or rewritten value shows as a failure.
        try {
            if (defaultServers(bus_->readGlobal()) != *committedServers_) {
                error_ = "NetworkManager no aplicó los servidores DNS globales";
                return false;
            }
        } catch (const std::exception& error) {
            error_ = std::string("no se pudo comprobar el DNS global de NetworkManager: ") +
                     error.what();
            return false;
        }
        committedServers_.reset();
    }
    return true;
}

}  // namespace tranca::platform
