#include "daemon/dns/dns_tcp_server.h"

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <cstring>
#include <deque>
#include <vector>

#include "daemon/dns/tcp_listener.h"
#include "daemon/log.h"

namespace tranca {

namespace {

using Clock = std::chrono::steady_clock;

// After an accept error such as running out of descriptors, a pause before
// the next attempt instead of a busy loop.
constexpr std::chrono::milliseconds kAcceptPause{100};
// Small, so a client that stops reading blocks our write soon and meets the
// write deadline, instead of parking megabytes in the kernel.
constexpr int kSendBuffer = 32 * 1024;

DnsMessage framed(DnsBytes message) {
    DnsMessage out(kTcpLengthSize + message.size());
    putU16(out, 0, static_cast<std::uint16_t>(message.size()));
    std::copy(message.begin(), message.end(), out.begin() + kTcpLengthSize);
    return out;
}

}  // namespace

// One client connection. Everything but send, requestClose and requestEviction
// runs on the connection's strand (the socket's executor); those three only
// post there, so the queue, the flags and the socket are never touched from two
// threads.
class DnsTcpServer::Connection : public ReplyChannel,
                                 public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::ip::tcp::socket socket, std::shared_ptr<DnsTcpServer> server)
        : socket_(std::move(socket)),
          idleTimer_(socket_.get_executor()),
          writeTimer_(socket_.get_executor()),
          server_(std::move(server)),
          limits_(server_->limits_) {}

    ~Connection() override { server_->forget(*this); }

    std::list<std::weak_ptr<Connection>>::iterator position;  // under the server's lock
    bool listed = false;                                      // under the server's lock

    bool idle() const { return idle_.load(std::memory_order_relaxed); }

    void start() {
        std::error_code error;
        const auto peer = socket_.remote_endpoint(error);
        if (!error) {
            std::memcpy(&client_.address, peer.data(), peer.size());
            client_.length = static_cast<socklen_t>(peer.size());
        }
        socket_.set_option(asio::ip::tcp::no_delay(true), error);
        socket_.set_option(asio::socket_base::send_buffer_size(kSendBuffer), error);
        lastActive_ = Clock::now();
        armIdle(limits_.idleTimeout);
        readLength();
    }

    bool datagram() const override { return false; }

    // A forwarded query's reply, from any thread.
    void send(const ClientAddress&, DnsBytes reply) override {
        asio::post(socket_.get_executor(),
                   [self = shared_from_this(), message = framed(reply)]() mutable {
                       --self->inFlight_;
                       self->enqueue(std::move(message));
                       self->resumeReading();
                   });
    }

    void requestClose() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] { self->close(); });
    }

    // Out of the table to make room: judged idle on the accepting side, so
    // judged again here, where the truth is. Idle, it closes now; otherwise it
    // reads nothing more and closes once its replies are out (or their write
    // deadline passes).
    void requestEviction() {
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (self->closed_) {
                return;
            }
            self->inputEnded_ = true;
            if (!self->reading_) {
                self->maybeFinish();
                return;
            }
            // A read is pending: cancel it; its handler ends the input.
            std::error_code ignored;
            self->socket_.shutdown(asio::ip::tcp::socket::shutdown_receive, ignored);
            self->maybeFinish();
        });
    }

  private:
    void readLength() {
        reading_ = true;
        asio::async_read(socket_, asio::buffer(length_),
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                             self->lengthRead(error);
                         });
    }

    void lengthRead(const std::error_code& error) {
        const std::size_t size = u16At(std::as_bytes(std::span(length_)), 0);
        if (error || size == 0) {
            endOfInput();
            return;
        }
        message_.resize(size);
        asio::async_read(socket_, asio::buffer(message_),
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                             if (error) {
                                 self->endOfInput();
                                 return;
                             }
                             self->decide();
                         });
    }

    void decide() {
        reading_ = false;
        lastActive_ = Clock::now();
        // Nothing ever answers these, so they are not waited for either.
        if (classifyQuery(message_) != QueryKind::ignore) {
            thread_local std::vector<std::byte> out(kReplyBufferSize);
            const DnsBytes reply =
                server_->pipeline_.handleQuery(message_, client_, shared_from_this(), out);
            if (reply.empty()) {
                ++inFlight_;  // forwarded: send brings its reply
            } else {
                enqueue(framed(reply));
            }
        }
        updateIdle();
        resumeReading();
    }

    void resumeReading() {
        if (reading_ || inputEnded_ || closed_) {
            maybeFinish();
            return;
        }
        if (inFlight_ < limits_.maxQueriesInFlight && queuedBytes_ < limits_.maxQueuedBytes) {
            readLength();
        }
    }

    void endOfInput() {
        reading_ = false;
        inputEnded_ = true;
        maybeFinish();
    }

    void enqueue(DnsMessage message) {
        if (closed_) {
            return;
        }
        queuedBytes_ += message.size();
        queue_.push_back(std::move(message));
        updateIdle();
        if (!writing_) {
            writeNext();
        }
    }

    void writeNext() {
        writing_ = true;
        const std::uint64_t write = ++writes_;
        asio::async_write(socket_, asio::buffer(queue_.front()),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              self->written(error);
                          });
        // A client that asks and never reads would hold its slot for ever.
        writeTimer_.expires_after(limits_.writeTimeout);
        writeTimer_.async_wait([self = shared_from_this(), write](const std::error_code& error) {
            if (!error && self->writing_ && self->writes_ == write) {
                self->close();
            }
        });
    }

    void written(const std::error_code& error) {
        writing_ = false;
        // Closed while the write was under way: the queue is gone, and the
        // buffer this write used was released only now.
        if (closed_) {
            queue_.clear();
            queuedBytes_ = 0;
            return;
        }
        writeTimer_.cancel();
        if (error) {
            close();
            return;
        }
        queuedBytes_ -= queue_.front().size();
        queue_.pop_front();
        lastActive_ = Clock::now();
        updateIdle();
        if (!queue_.empty()) {
            writeNext();
            return;
        }
        resumeReading();
    }

    // A client that said all it had to say is closed once answered.
    void maybeFinish() {
        if (inputEnded_ && !reading_ && inFlight_ == 0 && queue_.empty() && !writing_) {
            close();
        }
    }

    void armIdle(Clock::duration after) {
        idleTimer_.expires_after(after);
        idleTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (error || self->closed_) {
                return;
            }
            const Clock::time_point due = self->lastActive_ + self->limits_.idleTimeout;
            const bool waiting = self->inFlight_ > 0 || !self->queue_.empty();
            if (!waiting && Clock::now() >= due) {
                self->close();
                return;
            }
            self->armIdle(waiting ? self->limits_.idleTimeout : due - Clock::now());
        });
    }

    void updateIdle() { idle_.store(inFlight_ == 0 && queue_.empty(), std::memory_order_relaxed); }

    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        idleTimer_.cancel();
        writeTimer_.cancel();
        // A write under way still reads its buffer: written() empties the
        // queue when it completes.
        if (!writing_) {
            queue_.clear();
            queuedBytes_ = 0;
        }
        server_->forget(*this);
    }

    asio::ip::tcp::socket socket_;
    asio::steady_timer idleTimer_;
    asio::steady_timer writeTimer_;
    std::shared_ptr<DnsTcpServer> server_;
    const TcpLimits limits_;
    ClientAddress client_;
    std::array<std::uint8_t, kTcpLengthSize> length_{};
    DnsMessage message_;
    std::deque<DnsMessage> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t inFlight_ = 0;
    std::uint64_t writes_ = 0;
    bool reading_ = false;
    bool writing_ = false;
    bool inputEnded_ = false;
    bool closed_ = false;
    Clock::time_point lastActive_{};
    std::atomic<bool> idle_{true};
};

std::shared_ptr<DnsTcpServer> DnsTcpServer::create(asio::io_context& io, const DaemonConfig& config,
                                                   QueryPipeline& pipeline, TcpLimits limits,
                                                   std::chrono::milliseconds retryDelay) {
    return std::shared_ptr<DnsTcpServer>(
        new DnsTcpServer(io, config, pipeline, limits, retryDelay));
}

DnsTcpServer::DnsTcpServer(asio::io_context& io, const DaemonConfig& config,
                           QueryPipeline& pipeline, TcpLimits limits,
                           std::chrono::milliseconds retryDelay)
    : io_(io),
      config_(config),
      pipeline_(pipeline),
      limits_(limits),
      acceptor_(io),
      retry_(io.get_executor(), retryDelay),
      pauseTimer_(io) {}

DnsTcpServer::~DnsTcpServer() = default;

void DnsTcpServer::start() {
    const std::error_code error = openTcpListener(acceptor_, config_.listenHost, config_.dnsPort);
    if (error) {
        retry_.failed("No pude crear el listener TCP", error.message(),
                      [self = shared_from_this()] { self->start(); });
        return;
    }
    logLine("Servidor DNS (TCP) escuchando en " + config_.listenHost + ":" +
            std::to_string(config_.dnsPort));
    accept();
}

void DnsTcpServer::stop() {
    std::vector<std::shared_ptr<Connection>> open;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
        for (const auto& weak : connections_) {
            if (auto connection = weak.lock()) {
                open.push_back(std::move(connection));
            }
        }
    }
    std::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    pauseTimer_.cancel();
    for (const auto& connection : open) {
        connection->requestClose();
    }
}

std::size_t DnsTcpServer::openConnections() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return connections_.size();
}

void DnsTcpServer::accept() {
    acceptor_.async_accept(
        asio::make_strand(io_),
        [self = shared_from_this()](const std::error_code& error, asio::ip::tcp::socket socket) {
            if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                return;
            }
            if (error) {
                self->pauseTimer_.expires_after(kAcceptPause);
                self->pauseTimer_.async_wait([self](const std::error_code& waited) {
                    if (!waited) {
                        self->accept();
                    }
                });
                return;
            }
            self->admit(std::move(socket));
            self->accept();
        });
}

void DnsTcpServer::admit(asio::ip::tcp::socket socket) {
    auto connection = std::make_shared<Connection>(std::move(socket), shared_from_this());
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (stopped_ || (connections_.size() >= limits_.maxConnections && !makeRoom())) {
            // Every connection busy: this one waits for nothing.
            return;  // the socket closes with connection
        }
        connections_.push_back(connection);
        connection->position = std::prev(connections_.end());
        connection->listed = true;
    }
    connection->start();
}

bool DnsTcpServer::makeRoom() {
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        const auto connection = it->lock();
        if (!connection || connection->idle()) {
            if (connection) {
                connection->listed = false;
                connection->requestEviction();
            }
            connections_.erase(it);
            return true;
        }
    }
    return false;
}

void DnsTcpServer::forget(Connection& connection) {
    const std::lock_guard<std::mutex> guard(lock_);
    if (connection.listed) {
        connections_.erase(connection.position);
        connection.listed = false;
    }
}

}  // namespace tranca
