#include "platform/linux/single_service_store.h"

namespace tranca::platform {

bool SingleServiceStore::hasProtocol(std::string_view serviceId, Protocol protocol) {
    if (serviceId != serviceId_) {
        return false;
    }
    return protocol == Protocol::dns || proxy_ != nullptr;
}

std::optional<Dictionary> SingleServiceStore::configuration(std::string_view serviceId,
                                                            Protocol protocol) {
    if (!hasProtocol(serviceId, protocol)) {
        return std::nullopt;
    }
    if (protocol == Protocol::proxies) {
        return proxy_->read();
    }
    if (stagedDns_) {
        return stagedDns_;
    }
    return readDns();
}

bool SingleServiceStore::setConfiguration(std::string_view serviceId, Protocol protocol,
                                          const Dictionary& configuration) {
    if (!hasProtocol(serviceId, protocol)) {
        return false;
    }
    if (protocol == Protocol::proxies) {
        proxy_->stage(configuration);
    } else {
        stagedDns_ = configuration;
    }
    return true;
}

bool SingleServiceStore::commit() {
    if (stagedDns_) {
        if (!commitDns(*stagedDns_)) {
            return false;
        }
        stagedDns_.reset();
    }
    if (proxy_ && proxy_->hasStaged() && !proxy_->commit(error_)) {
        return false;
    }
    return true;
}

bool SingleServiceStore::apply() {
    if (!applyDns()) {
        return false;
    }
    return !proxy_ || proxy_->apply(error_);
}

}  // namespace tranca::platform
