// What the two Linux backends share: one service, a file lock for the store
// lock, the system proxy through dconf where it exists, and DNS changes staged
// in the handle until commit. A backend supplies how its DNS is read and
// written.
#pragma once

#include <memory>
#include <string>

#include "platform/linux/dconf_proxy.h"
#include "platform/network_store.h"
#include "platform/posix/file_util.h"

namespace tranca::platform {

class SingleServiceStore : public NetworkStore {
  public:
    bool lock() override { return lock_.lock(error_); }
    void unlock() override { lock_.unlock(); }
    // The service always has DNS; it has Proxies only where dconf does.
    bool hasProtocol(std::string_view serviceId, Protocol protocol) override;
    bool addProtocol(std::string_view serviceId, Protocol protocol) override {
        return hasProtocol(serviceId, protocol);
    }
    std::optional<Dictionary> configuration(std::string_view serviceId, Protocol protocol) override;
    bool setConfiguration(std::string_view serviceId, Protocol protocol,
                          const Dictionary& configuration) override;
    bool commit() override;
    bool apply() override;
    std::string lastError() const override { return error_; }
    // The one service is the primary one.
    std::optional<std::string> primaryService() override { return std::string(serviceId_); }

  protected:
    SingleServiceStore(std::string_view serviceId, std::string lockPath,
                       std::unique_ptr<DconfProxy> proxy)
        : serviceId_(serviceId), lock_(std::move(lockPath)), proxy_(std::move(proxy)) {}

    // The service's DNS as it is now; nullopt (with error_ set) on failure.
    virtual std::optional<Dictionary> readDns() = 0;
    // Writes the staged DNS; false with error_ set on failure.
    virtual bool commitDns(const Dictionary& dns) = 0;
    // Makes the committed DNS take effect; the default has nothing to do.
    virtual bool applyDns() { return true; }

    std::string error_;

  private:
    std::string_view serviceId_;
    posix_files::FileLock lock_;
    std::unique_ptr<DconfProxy> proxy_;
    std::optional<Dictionary> stagedDns_;
};

}  // namespace tranca::platform
