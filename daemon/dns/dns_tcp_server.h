// DNS over TCP on the same address and port as the UDP listener, through the
// same pipeline: each message framed by a 2-byte length, several per
// connection, answered as they are decided (out of order). Clients retry here
// when a UDP reply comes back truncated. Every connection costs a descriptor
// and some memory, so their number, the queries each may have in flight, the
// bytes waiting to be written and idle time are all bounded.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>

#include "daemon/config.h"
#include "daemon/dns/listener_retry.h"
#include "daemon/dns/query_pipeline.h"

namespace tranca {

struct TcpLimits {
    // The daemon sets it from its descriptor budget (descriptorBudgetFor).
    std::size_t maxConnections = 1024;
    std::chrono::milliseconds idleTimeout{10'000};
    // A reply that the client does not take within this closes the
    // connection: queued replies must not hold a slot for ever.
    std::chrono::milliseconds writeTimeout{5'000};
    // Beyond these a connection stops reading until its replies catch up.
    std::size_t maxQueriesInFlight = 32;
    std::size_t maxQueuedBytes = 256 * 1024;
};

class DnsTcpServer : public std::enable_shared_from_this<DnsTcpServer> {
  public:
    static std::shared_ptr<DnsTcpServer> create(asio::io_context& io, const DaemonConfig& config,
                                                QueryPipeline& pipeline, TcpLimits limits,
                                                std::chrono::milliseconds retryDelay);
    ~DnsTcpServer();

    // Binds and starts accepting; on failure logs and tries again later.
    void start();
    void stop();

    std::size_t openConnections() const;

  private:
    class Connection;

    DnsTcpServer(asio::io_context& io, const DaemonConfig& config, QueryPipeline& pipeline,
                 TcpLimits limits, std::chrono::milliseconds retryDelay);
    void accept();
    // Makes room for one more: the oldest connection with nothing in flight
    // leaves the table and is closed once its own strand agrees it is idle
    // (or after its replies); false when every one is busy.
    bool makeRoom();
    void admit(asio::ip::tcp::socket socket);
    void forget(Connection& connection);

    asio::io_context& io_;
    const DaemonConfig& config_;
    QueryPipeline& pipeline_;
    const TcpLimits limits_;
    asio::ip::tcp::acceptor acceptor_;
    ListenerRetry retry_;
    asio::steady_timer pauseTimer_;
    mutable std::mutex lock_;
    // In the order they were accepted, the oldest first.
    std::list<std::weak_ptr<Connection>> connections_;
    bool stopped_ = false;
};

}  // namespace tranca
