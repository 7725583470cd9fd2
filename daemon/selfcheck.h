// The daemon's health loop and its stop routine. The 15-second probe of the
// DNS listener arrives together with the listener; today the loop has its
// timer and the stop routine its place on the network queue.
#pragma once

#include <atomic>
#include <string_view>

#include "daemon/config.h"

namespace tranca {

class SelfCheck {
  public:
    explicit SelfCheck(const DaemonConfig& config) : config_(config) {}

    // One probe; called by the 15-second timer.
    void runSelfCheck();

    // The stop routine; runs on the network queue. Once it has begun, no later
    // enforcement may point the machine back at the filter.
    void stopProtection(std::string_view reason);

    bool stopping() const { return stopping_.load(); }

  private:
    const DaemonConfig& config_;
    std::atomic<bool> stopping_{false};
};

}  // namespace tranca
