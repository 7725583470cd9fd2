// The daemon's health loop and its stop routine. The 15-second probe of the
// DNS listener arrives together with the listener; what a good probe keeps in
// place (enforceProtection) and the stop routine are here.
#pragma once

// A standard header first: asio picks its allocator from the library's
// configuration macros, and every file must see the same choice.
#include <atomic>

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/config.h"
#include "daemon/system/dns_lock.h"
#include "daemon/system/netconfig.h"
#include "daemon/system/proxy_settings.h"
#include "platform/paths.h"

namespace tranca {

// Where the protection routines look; tests point them elsewhere.
struct ProtectionSettings {
    std::string proxyJobFile{paths::kCurrent.proxyJobFile};
    std::string proxyUser{paths::kCurrent.proxyUser};
    std::uint16_t contentFilterPort = kContentFilterPort;
    StoreOpener opener;  // empty: this machine's settings store
    // The kernel's packet filter for the DNS lock; empty: no lock is kept
    // (the daemon passes this machine's; tests never touch the kernel's).
    std::function<std::unique_ptr<platform::PacketFilter>()> packetFilter;
};

// The probe query: ID 0x4242, recursion desired, one question for name, type A,
// class IN.
std::vector<std::uint8_t> buildStatusQuery(std::string_view name);

// A reply is right when it ends with the status address.
bool isRightStatusReply(std::span<const std::uint8_t> reply,
                        const std::array<std::uint8_t, 4>& address);

// Non-blocking TCP connect to 127.0.0.1:port, answered within 500 ms.
bool isContentFilterListening(std::uint16_t port = kContentFilterPort);

class SelfCheck {
  public:
    explicit SelfCheck(const DaemonConfig& config, ProtectionSettings settings = {});

    using TerminateFn = std::function<void(int status, std::string_view reason)>;

    // Where probes run and how the daemon ends when two in a row fail.
    void attachLoop(asio::io_context& io, TerminateFn terminate,
                    std::chrono::milliseconds probeTimeout = std::chrono::seconds(4)) {
        io_ = &io;
        terminate_ = std::move(terminate);
        probeTimeout_ = probeTimeout;
    }

    // One probe of the DNS listener; called by the 15-second timer. Decided by
    // exactly one of: send error, reply, or the probe timeout.
    void runSelfCheck();

    // Decides a probe (on the probe's strand).
    void finishSelfCheck(bool good);

    // The serial network queue ("tranca.red") on which protection work runs.
    void attachNetworkQueue(asio::io_context& networkQueue) { networkQueue_ = &networkQueue; }

    // After a good probe: queues enforceProtection on the network queue.
    void queueEnforceProtection();

    // Runs on the network queue: records the original servers once, points
    // DNS at the filter, and the system proxy at the content filter when its
    // job is installed and listening as its own user (off otherwise).
    void enforceProtection();

    // The stop routine; runs on the network queue. Once it has begun, no later
    // enforcement may point the machine back at the filter.
    void stopProtection(std::string_view reason);

    bool stopping() const { return stopping_.load(); }
    // The last probe was answered and the stop routine has not begun.
    bool answering() const { return selfCheckFailures_.load() == 0 && !stopping_.load(); }

    // Told when something the check keeps (the DNS, the proxy) had been
    // changed by someone else and was put back.
    void onPutBack(std::function<void(std::string_view what)> told) { putBack_ = std::move(told); }

  private:
    const DaemonConfig& config_;
    ProtectionSettings settings_;
    NetConfig net_;
    // Only used on the network queue.
    DnsLock lock_;
    asio::io_context* networkQueue_ = nullptr;
    asio::io_context* io_ = nullptr;
    TerminateFn terminate_;
    std::chrono::milliseconds probeTimeout_{4000};
    // Probes start 15 s apart and end within the timeout, so they never
    // overlap; atomic only because each runs on a different pool thread.
    std::atomic<int> selfCheckFailures_{0};
    std::atomic<bool> stopping_{false};
    // Only used on the network queue: the first enforcement sets things up,
    // later changes are someone else's undone.
    bool enforcedOnce_ = false;
    bool lastProxyOn_ = false;
    std::function<void(std::string_view)> putBack_;
};

}  // namespace tranca
