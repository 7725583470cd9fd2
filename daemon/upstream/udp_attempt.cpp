#include "daemon/upstream/udp_attempt.h"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "daemon/system/dns_lock.h"

namespace tranca {

namespace {

class UdpAttempt : public std::enable_shared_from_this<UdpAttempt> {
  public:
    UdpAttempt(asio::io_context& io, std::shared_ptr<const DnsMessage> query,
               std::size_t questionEnd, UdpDone done)
        : strand_(asio::make_strand(io)),
          socket_(strand_),
          timer_(strand_),
          query_(std::move(query)),
          questionEnd_(questionEnd),
          done_(std::move(done)) {}

    void start(const asio::ip::udp::endpoint& resolver, std::chrono::milliseconds timeout) {
        asio::post(strand_, [self = shared_from_this(), resolver, timeout] {
            self->begin(resolver, timeout);
        });
    }

  private:
    void begin(const asio::ip::udp::endpoint& resolver, std::chrono::milliseconds timeout) {
        std::error_code error;
        socket_.open(resolver.protocol(), error);
        if (!error) {
            // Past the DNS lock; refused (not root) it matters not: no lock then.
            markSocket(socket_.native_handle());
            socket_.non_blocking(true, error);
        }
        if (!error) {
            socket_.connect(resolver, error);
        }
        if (error) {
            finish(std::nullopt);
            return;
        }
        auto self = shared_from_this();
        socket_.async_send(
            asio::buffer(*query_),
            asio::bind_executor(strand_, [self](const std::error_code& sent, std::size_t) {
                if (sent) {
                    self->finish(std::nullopt);
                }
            }));
        waitForReply();
        timer_.expires_after(timeout);
        timer_.async_wait(asio::bind_executor(strand_, [self](const std::error_code& expired) {
            if (!expired) {
                self->finish(std::nullopt);
            }
        }));
    }

    void waitForReply() {
        socket_.async_wait(asio::ip::udp::socket::wait_read,
                           asio::bind_executor(
                               strand_, [self = shared_from_this()](const std::error_code& waited) {
                                   self->receive(waited);
                               }));
    }

    void receive(const std::error_code& waited) {
        if (done_flag_) {
            return;
        }
        if (waited) {
            finish(std::nullopt);
            return;
        }
        // The next datagram's exact size, so a large answer is neither cut
        // nor given a 64 KiB buffer it does not need.
        std::error_code error;
        const std::size_t pending = socket_.available(error);
        DnsMessage reply(error || pending == 0 ? 1 : pending);
        const std::size_t got = socket_.receive(asio::buffer(reply), 0, error);
        if (error == asio::error::would_block) {
            waitForReply();
            return;
        }
        if (error || got == 0) {
            // A refused port or an empty datagram is no answer.
            finish(std::nullopt);
            return;
        }
        reply.resize(got);
        if (!isReplyTo(reply, *query_, questionEnd_, true)) {
            waitForReply();
            return;
        }
        finish(std::move(reply));
    }

    void finish(std::optional<DnsMessage> result) {
        if (done_flag_) {
            return;
        }
        done_flag_ = true;
        std::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
        UdpDone done = std::move(done_);
        done(std::move(result));
    }

    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::udp::socket socket_;
    asio::steady_timer timer_;
    std::shared_ptr<const DnsMessage> query_;
    std::size_t questionEnd_;
    UdpDone done_;
    bool done_flag_ = false;
};

}  // namespace

void startUdpAttempt(asio::io_context& io, const asio::ip::udp::endpoint& resolver,
                     std::shared_ptr<const DnsMessage> query, std::size_t questionEnd,
                     std::chrono::milliseconds timeout, UdpDone done) {
    std::make_shared<UdpAttempt>(io, std::move(query), questionEnd, std::move(done))
        ->start(resolver, timeout);
}

}  // namespace tranca
