// The daemon's health loop and its stop routine. The 15-second probe of the
// DNS listener arrives together with the listener; what a good probe keeps in
// place (enforceProtection) and the stop routine are here.
#pragma once

// A standard header first: asio picks its allocator from the library's
// configuration macros, and every file must see the same choice.
#include <atomic>

#include <asio.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "daemon/config.h"
#include "daemon/netconfig.h"
#include "platform/paths.h"

namespace tranca {

inline constexpr std::uint16_t kContentFilterListenPort = 8080;

// Where the protection routines look; tests point them elsewhere.
struct ProtectionSettings {
    std::string proxyJobFile{paths::kCurrent.proxyJobFile};
    std::uint16_t contentFilterPort = kContentFilterListenPort;
    StoreOpener opener;  // empty: this machine's settings store
};

// Non-blocking TCP connect to 127.0.0.1:port, answered within 500 ms.
bool isContentFilterListening(std::uint16_t port = kContentFilterListenPort);

class SelfCheck {
  public:
    explicit SelfCheck(const DaemonConfig& config, ProtectionSettings settings = {});

    // One probe; called by the 15-second timer.
    void runSelfCheck();

    // The serial network queue ("tranca.red") on which protection work runs.
    void attachNetworkQueue(asio::io_context& networkQueue) { networkQueue_ = &networkQueue; }

    // After a good probe: queues enforceProtection on the network queue.
    void queueEnforceProtection();

    // Runs on the network queue: records the original servers once, points
    // DNS at the filter, and the system proxy at the content filter when its
    // job is installed and listening (off otherwise).
    void enforceProtection();

    // The stop routine; runs on the network queue. Once it has begun, no later
    // enforcement may point the machine back at the filter.
    void stopProtection(std::string_view reason);

    bool stopping() const { return stopping_.load(); }

  private:
    const DaemonConfig& config_;
    ProtectionSettings settings_;
    NetConfig net_;
    asio::io_context* networkQueue_ = nullptr;
    std::atomic<bool> stopping_{false};
};

}  // namespace tranca
