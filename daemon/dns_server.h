// The DNS listener on listenHost:dnsPort: a few UDP sockets sharing the port
// (SO_REUSEPORT) so the pool's threads decide queries side by side. Each
// reply goes back to the address the query came from. Creation and runtime
// failures are logged and retried for ever.
#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "daemon/config.h"
#include "daemon/query_pipeline.h"

namespace tranca {

class DnsServer {
  public:
    DnsServer(asio::io_context& io, const DaemonConfig& config, QueryPipeline& pipeline,
              std::size_t socketCount, std::chrono::milliseconds retryDelay);
    ~DnsServer();
    DnsServer(const DnsServer&) = delete;
    DnsServer& operator=(const DnsServer&) = delete;

    // Binds and starts receiving; on failure logs and tries again later.
    void startDNSListener();

  private:
    class Socket;
    struct Generation;

    void scheduleRestart();
    void failed(const std::shared_ptr<Generation>& generation, const std::error_code& error);

    asio::io_context& io_;
    const DaemonConfig& config_;
    QueryPipeline& pipeline_;
    const std::size_t socketCount_;
    const std::chrono::milliseconds retryDelay_;
    asio::steady_timer retryTimer_;
    std::mutex lock_;
    std::shared_ptr<Generation> current_;
};

}  // namespace tranca
