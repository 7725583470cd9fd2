// The unprivileged door to the wait: a Unix socket anyone may connect to,
// taking only "lista" and "cancelar" (cancelling only tightens). Each
// connection sends one short line within a deadline and gets one reply. A
// few are kept at a time; a newcomer closes the oldest, so a program that
// opens connections and says nothing can neither grow the daemon's memory
// nor keep Amparo out.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "daemon/wait/wait_keeper.h"

namespace tranca {

struct WaitSocketLimits {
    std::size_t maxConnections = 16;
    std::chrono::milliseconds deadline{2000};
};

// The reply to "avisos": the trusted person and the unsent notices.
using NoticesReply = std::function<std::string()>;

class WaitSocket : public std::enable_shared_from_this<WaitSocket> {
  public:
    static std::shared_ptr<WaitSocket> create(asio::io_context& io, WaitKeeper& keeper,
                                              std::string path, NoticesReply notices = {},
                                              WaitSocketLimits limits = {});
    // Binds the socket (its folder made root-only-writable first) and starts
    // accepting; false, logged, when it cannot.
    bool start();

  private:
    struct Connection;
    WaitSocket(asio::io_context& io, WaitKeeper& keeper, std::string path, NoticesReply notices,
               WaitSocketLimits limits);
    void accept();
    void serve(std::shared_ptr<Connection> connection);

    asio::io_context& io_;
    WaitKeeper& keeper_;
    NoticesReply notices_;
    std::string path_;
    WaitSocketLimits limits_;
    asio::local::stream_protocol::acceptor acceptor_;
    std::mutex mutex_;
    std::deque<std::weak_ptr<Connection>> open_;
};

}  // namespace tranca
