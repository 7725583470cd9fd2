// The machine's network settings store, seen the way the filter needs it: a
// handle opened under a name, a lock that waits, the services of the current
// set, their DNS and Proxies dictionaries, commit, apply and the last error.
// Changes made through a handle stay in the handle until commit; a handle
// released without commit drops them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tranca::platform {

// A dictionary value: integers (enable flags, ports), texts (hosts) and lists
// of texts (servers, exceptions). A backend that reads a key it does not know
// puts it here as it found it, so writing the dictionary back keeps it.
using Value = std::variant<std::int64_t, std::string, std::vector<std::string>>;
using Dictionary = std::map<std::string, Value, std::less<>>;

enum class Protocol { dns, proxies };

struct ServiceInfo {
    std::string id;
    std::string name;  // the user-visible name; may be empty
    bool enabled = false;
};

class NetworkStore {
  public:
    virtual ~NetworkStore() = default;

    // Takes the store's lock, waiting for other writers.
    virtual bool lock() = 0;
    virtual void unlock() = 0;

    // The services of the current set, in the set's order; empty when they
    // cannot be read.
    virtual std::vector<ServiceInfo> services() = 0;

    // The identifier of the service the machine routes through now; nullopt
    // when the store cannot tell.
    virtual std::optional<std::string> primaryService() { return std::nullopt; }

    virtual bool hasProtocol(std::string_view serviceId, Protocol protocol) = 0;
    // Adds the protocol where that makes sense; false where it cannot exist.
    virtual bool addProtocol(std::string_view serviceId, Protocol protocol) = 0;

    // The protocol's configuration; nullopt when there is none or it cannot be
    // read whole (lastError then says why). Never an empty or partial
    // dictionary for settings that could not be read: callers change what
    // they read and write it back.
    virtual std::optional<Dictionary> configuration(std::string_view serviceId,
                                                    Protocol protocol) = 0;
    // Stages a new configuration in this handle.
    virtual bool setConfiguration(std::string_view serviceId, Protocol protocol,
                                  const Dictionary& configuration) = 0;

    // Writes what was staged; then makes it take effect.
    virtual bool commit() = 0;
    virtual bool apply() = 0;

    // Spanish text of the last failure.
    virtual std::string lastError() const = 0;
};

// Opens a handle on this machine's store under the given name, with the
// backend that manages the machine; nullptr when none can be opened.
std::unique_ptr<NetworkStore> openNetworkStore(std::string_view name);

// Dictionary helpers shared by the backends and their users.
std::optional<std::int64_t> integerValue(const Dictionary& dictionary, std::string_view key);
std::optional<std::string> textValue(const Dictionary& dictionary, std::string_view key);
std::optional<std::vector<std::string>> textListValue(const Dictionary& dictionary,
                                                      std::string_view key);

}  // namespace tranca::platform
