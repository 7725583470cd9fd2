// A network settings store held in memory, where cases the Linux backends
// cannot show (several services, a failing lock or commit, services without a
// name or a DNS protocol, no primary service) are easy to set up.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/network_store.h"

namespace tranca::testing {

using platform::Dictionary;
using platform::Protocol;
using platform::ServiceInfo;

struct StoreState {
    std::vector<ServiceInfo> services;
    std::map<std::string, Dictionary> dns;      // absent: no DNS protocol
    std::map<std::string, Dictionary> proxies;  // absent: no Proxies protocol
    bool failLock = false;
    bool failCommit = false;
    int locks = 0;
    int commits = 0;
    int opens = 0;
    std::optional<std::string> primary;
};

class MemoryStore : public tranca::platform::NetworkStore {
  public:
    explicit MemoryStore(std::shared_ptr<StoreState> state)
        : state_(std::move(state)), dns_(state_->dns), proxies_(state_->proxies) {}

    bool lock() override {
        ++state_->locks;
        return !state_->failLock;
    }
    void unlock() override {}
    std::vector<ServiceInfo> services() override { return state_->services; }
    bool hasProtocol(std::string_view id, Protocol protocol) override {
        return table(protocol).contains(std::string(id));
    }
    bool addProtocol(std::string_view id, Protocol protocol) override {
        table(protocol)[std::string(id)];
        return true;
    }
    std::optional<Dictionary> configuration(std::string_view id, Protocol protocol) override {
        const auto found = table(protocol).find(std::string(id));
        if (found == table(protocol).end()) {
            return std::nullopt;
        }
        return found->second;
    }
    bool setConfiguration(std::string_view id, Protocol protocol,
                          const Dictionary& configuration) override {
        table(protocol)[std::string(id)] = configuration;
        return true;
    }
    bool commit() override {
        ++state_->commits;
        if (state_->failCommit) {
            return false;
        }
        state_->dns = dns_;
        state_->proxies = proxies_;
        return true;
    }
    bool apply() override { return true; }
    std::string lastError() const override { return "error de prueba"; }
    std::optional<std::string> primaryService() override { return state_->primary; }

  private:
    std::map<std::string, Dictionary>& table(Protocol protocol) {
        return protocol == Protocol::dns ? dns_ : proxies_;
    }
    std::shared_ptr<StoreState> state_;
    std::map<std::string, Dictionary> dns_;
    std::map<std::string, Dictionary> proxies_;
};

}  // namespace tranca::testing
