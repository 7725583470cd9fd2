// The block page server: a small HTTP listener on the loopback address where
// blocked names now lead. It accepts within a cap on open connections, each
// of which (page_connection.h) reads its request, gets one response (a 302 to
// the chosen destination or the built-in page naming the host; for HEAD the
// same without its body), and is closed.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "daemon/config.h"
#include "daemon/dns/listener_retry.h"
#include "daemon/page/page_connection.h"
#include "daemon/page/redirect.h"

namespace tranca {

struct BlockPageLimits {
    std::chrono::milliseconds retryDelay{5'000};
    // How long a client may take to send its request (and later to take the
    // response): a silent client must not hold a descriptor for ever.
    std::chrono::milliseconds requestTimeout{10'000};
    // Connections open at once, so idle clients cannot use up the descriptors
    // the DNS side needs too. At the cap a new client makes the oldest one
    // still waiting for its request close, so idle clients cannot keep a
    // browser waiting either; when none is waiting, all are answering and
    // the server accepts again as they close.
    std::size_t maxConnections = 128;
};

class BlockPageServer : public PageConnectionOwner,
                        public std::enable_shared_from_this<BlockPageServer> {
  public:
    static std::shared_ptr<BlockPageServer> create(asio::io_context& io, const DaemonConfig& config,
                                                   const Redirect& redirect,
                                                   BlockPageLimits limits = {});

    // Opens the listener on listenHost:httpPort; on failure logs and tries
    // again after retryDelay, for ever.
    void startBlockPageServer();

    std::size_t openConnections() const { return open_.load(); }
    bool listening() const { return listening_.load(); }

    void connectionClosed() override;
    void madeNoWay() override;

  private:
    BlockPageServer(asio::io_context& io, const DaemonConfig& config, const Redirect& redirect,
                    BlockPageLimits limits);

    void open();
    void acceptNext();
    void onAccept(const std::error_code& error, asio::ip::tcp::socket socket);
    void onClientPending(const std::error_code& error);
    bool clientInBacklog() const;
    // The oldest connection still waiting for its request, dropping from
    // waiting_ those that no longer are.
    std::shared_ptr<BlockPageConnection> oldestWaiting();

    asio::io_context& io_;
    std::string listenHost_;
    std::uint16_t httpPort_;
    const Redirect& redirect_;
    BlockPageLimits limits_;

    // Listener state is touched only on this strand.
    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::tcp::acceptor acceptor_;
    ListenerRetry retry_;
    // Waits out a run of readiness reports with nobody in the backlog.
    asio::steady_timer recheckTimer_;
    int emptyWakeups_ = 0;
    // An accept, or at the cap a wait for a client, is in progress.
    bool accepting_ = false;
    // Connections in the order they were accepted; weak, so a closed one
    // costs only its entry until it is pruned.
    std::deque<std::weak_ptr<BlockPageConnection>> waiting_;

    std::atomic<std::size_t> open_{0};
    std::atomic<bool> listening_{false};
};

}  // namespace tranca
