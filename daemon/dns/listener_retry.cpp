#include "daemon/dns/listener_retry.h"

#include <string>

#include "daemon/log.h"

namespace tranca {

ListenerRetry::ListenerRetry(const asio::any_io_executor& executor, std::chrono::milliseconds delay)
    : timer_(executor), delay_(delay) {}

void ListenerRetry::report(std::string_view what, std::string_view reason) const {
    logLine(std::string(what) + " (" + std::string(reason) + ") — reintento en " +
            durationText(delay_));
}

void ListenerRetry::schedule(std::function<void()> open) {
    timer_.expires_after(delay_);
    timer_.async_wait([open = std::move(open)](const std::error_code& error) {
        if (!error) {
            open();
        }
    });
}

void ListenerRetry::failed(std::string_view what, std::string_view reason,
                           std::function<void()> open) {
    report(what, reason);
    schedule(std::move(open));
}

void ListenerRetry::cancel() {
    timer_.cancel();
}

}  // namespace tranca
