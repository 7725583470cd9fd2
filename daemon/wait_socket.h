// The unprivileged door to the wait: a Unix socket anyone may connect to,
// taking only "lista" and "cancelar" (cancelling only tightens). Each
// connection sends one short line within a deadline and gets one reply;
// a few at a time, so a local program can hold none of the daemon's memory.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "daemon/wait_keeper.h"

namespace tranca {

struct WaitSocketLimits {
    std::size_t maxConnections = 16;
    std::chrono::milliseconds deadline{2000};
};

class WaitSocket : public std::enable_shared_from_this<WaitSocket> {
  public:
    static std::shared_ptr<WaitSocket> create(asio::io_context& io, WaitKeeper& keeper,
                                              std::string path, WaitSocketLimits limits = {});
    // Binds the socket (its folder made root-only-writable first) and starts
    // accepting; false, logged, when it cannot.
    bool start();

  private:
    WaitSocket(asio::io_context& io, WaitKeeper& keeper, std::string path, WaitSocketLimits limits);
    void accept();
    void serve(std::shared_ptr<asio::local::stream_protocol::socket> client);

    asio::io_context& io_;
    WaitKeeper& keeper_;
    std::string path_;
    WaitSocketLimits limits_;
    asio::local::stream_protocol::acceptor acceptor_;
    std::atomic<std::size_t> open_{0};
};

}  // namespace tranca
