// The DNS listener on listenHost:dnsPort: a few UDP sockets sharing the port
// (SO_REUSEPORT), each read by a thread of its own so a query is decided
// where it is received, with no hand-off between threads. Each reply goes
// back to the address the query came from. Creation and runtime failures are
// logged and retried for ever.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "daemon/config.h"
#include "daemon/dns/listener_retry.h"
#include "daemon/dns/query_pipeline.h"

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
    // Ends a generation's readers; they leave their loop within moments.
    static void end(Generation& generation);

    asio::io_context& io_;
    const DaemonConfig& config_;
    QueryPipeline& pipeline_;
    const std::size_t socketCount_;
    ListenerRetry retry_;
    std::mutex lock_;
    std::shared_ptr<Generation> current_;
    // Readers of this and of failed generations, joined on the next start
    // and at the end.
    std::vector<std::thread> readers_;
};

}  // namespace tranca
