// One client of the block page, from accept to close: its request read up to
// the end of its headers within a size and a time bound, one response, then
// what it still sends read and dropped for a moment before the close.
#pragma once

#include <array>
#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "daemon/page/http_request.h"
#include "daemon/page/page_response.h"
#include "daemon/page/redirect.h"

namespace tranca {

// What a connection tells the server that accepted it.
class PageConnectionOwner {
  public:
    virtual ~PageConnectionOwner() = default;
    // Once, when the connection has closed.
    virtual void connectionClosed() = 0;
    // A connection asked to make way had got its request meanwhile.
    virtual void madeNoWay() = 0;
};

// Its handlers run on its own strand (the socket's executor); the deadline
// timer bounds both the wait for the request and the send.
class BlockPageConnection : public std::enable_shared_from_this<BlockPageConnection> {
  public:
    BlockPageConnection(asio::ip::tcp::socket socket, std::shared_ptr<PageConnectionOwner> owner,
                        const Redirect& redirect, std::chrono::milliseconds requestTimeout);

    void start();

    // Still reading its request: one the server may close to make way.
    bool waiting() const { return waiting_.load(std::memory_order_relaxed); }

    // Closes the connection, unanswered, if it is still waiting for its
    // request; else tells the owner it made no way.
    void makeWay();

  private:
    void armDeadline();
    void onDeadline(const std::error_code& error);
    void readRequest();
    void onRead(const std::error_code& error, std::size_t length);
    void respond();
    void drain(const std::error_code& error);
    void readAndDrop();
    void finish();

    asio::ip::tcp::socket socket_;
    asio::steady_timer deadline_;
    std::shared_ptr<PageConnectionOwner> owner_;
    const Redirect& redirect_;
    const std::chrono::milliseconds requestTimeout_;
    std::array<char, kMaxRequestBytes> buffer_;
    std::array<char, kPageHeaderCapacity> header_;
    std::string redirectResponse_;
    std::size_t received_ = 0;
    std::size_t drained_ = 0;
    std::atomic<bool> waiting_{true};
    bool madeWay_ = false;
};

}  // namespace tranca
