// What each of the daemon's listeners (DNS over UDP and TCP, the block page)
// does when its socket cannot be opened or fails once open: say so in the
// log, then open it again after a fixed delay, for ever. A port another
// program holds for a while must neither end the daemon nor leave it deaf.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <string_view>

namespace tranca {

class ListenerRetry {
  public:
    // The wait runs on executor, so open is called there (a strand keeps the
    // listener's state on it).
    ListenerRetry(const asio::any_io_executor& executor, std::chrono::milliseconds delay);

    // Logs "<what> (<reason>) — reintento en <delay>". Only logs, so a reader
    // thread may report at once and schedule through its io_context.
    void report(std::string_view what, std::string_view reason) const;
    // Calls open once the delay has passed, unless cancelled meanwhile.
    void schedule(std::function<void()> open);
    // Both, as a listener that could not be opened does.
    void failed(std::string_view what, std::string_view reason, std::function<void()> open);
    void cancel();

  private:
    asio::steady_timer timer_;
    const std::chrono::milliseconds delay_;
};

}  // namespace tranca
