#include "daemon/dns_server.h"

#include <optional>

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <cerrno>

#include "daemon/log.h"

namespace tranca {

namespace {

// Datagrams taken per system call, and batches per wake-up before the socket
// goes back to the loop so other work gets its turn.
constexpr std::size_t kBatch = 16;
constexpr int kBatchesPerWake = 8;
constexpr std::size_t kMaxDatagram = 65536;

}  // namespace

struct DnsServer::Generation {
    std::vector<std::shared_ptr<Socket>> sockets;
    std::atomic<bool> ended{false};
};

// One listening socket. Also the reply channel of the queries it received, so
// a late forwarded reply keeps the descriptor open until it is sent.
class DnsServer::Socket : public ReplyChannel, public std::enable_shared_from_this<Socket> {
  public:
    Socket(asio::io_context& io, QueryPipeline& pipeline) : socket_(io), pipeline_(pipeline) {}

    std::error_code open(const asio::ip::udp::endpoint& local) {
        std::error_code error;
        socket_.open(local.protocol(), error);
        if (!error) {
            const int on = 1;
            if (::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) !=
                0) {
                error = std::error_code(errno, std::system_category());
            }
        }
        if (!error) {
            socket_.non_blocking(true, error);
        }
        if (!error) {
            socket_.bind(local, error);
        }
        if (error) {
            std::error_code ignored;
            socket_.close(ignored);
        }
        return error;
    }

    void receive(std::shared_ptr<Generation> generation, DnsServer& server) {
        if (!buffers_) {
            buffers_ = std::make_unique<Buffers>();
        }
        socket_.async_wait(asio::ip::udp::socket::wait_read,
                           [self = shared_from_this(), generation = std::move(generation),
                            &server](const std::error_code& error) {
                               if (error == asio::error::operation_aborted || generation->ended) {
                                   return;
                               }
                               if (error) {
                                   server.failed(generation, error);
                                   return;
                               }
                               if (const std::error_code drained = self->drain()) {
                                   server.failed(generation, drained);
                                   return;
                               }
                               self->receive(generation, server);
                           });
    }

    void close() {
        std::error_code ignored;
        socket_.cancel(ignored);
    }

    void send(const ClientAddress& client, DnsBytes reply) override {
        // sendto is safe from any thread; failures are ignored by design.
        (void)::sendto(socket_.native_handle(), reply.data(), reply.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&client.address), client.length);
    }

  private:
    struct Buffers {
        std::array<std::array<std::byte, kMaxDatagram>, kBatch> in;
        std::array<std::array<std::byte, kReplyBufferSize>, kBatch> out;
        std::array<ClientAddress, kBatch> clients;
        std::array<mmsghdr, kBatch> inHeaders;
        std::array<iovec, kBatch> inVectors;
        std::array<mmsghdr, kBatch> outHeaders;
        std::array<iovec, kBatch> outVectors;
    };

    // Reads what is queued, decides each datagram and sends the local replies
    // in one call. Returns an error only for a fault of the socket itself.
    std::error_code drain() {
        Buffers& b = *buffers_;
        const std::shared_ptr<ReplyChannel> channel = shared_from_this();
        for (int round = 0; round < kBatchesPerWake; ++round) {
            for (std::size_t i = 0; i < kBatch; ++i) {
                b.inVectors[i] = {b.in[i].data(), kMaxDatagram};
                b.inHeaders[i] = {};
                b.inHeaders[i].msg_hdr.msg_iov = &b.inVectors[i];
                b.inHeaders[i].msg_hdr.msg_iovlen = 1;
                b.inHeaders[i].msg_hdr.msg_name = &b.clients[i].address;
                b.inHeaders[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
            }
            const int got = ::recvmmsg(socket_.native_handle(), b.inHeaders.data(), kBatch,
                                       MSG_DONTWAIT, nullptr);
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                    return {};
                }
                // Errors queued for one datagram (ICMP) are not the socket's.
                if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) {
                    continue;
                }
                return std::error_code(errno, std::system_category());
            }
            unsigned replies = 0;
            // The block lines of this batch go out in one write, before the
            // answers, so the log never lags the browser.
            std::optional<LogBatch> lines(std::in_place);
            for (int i = 0; i < got; ++i) {
                b.clients[i].length = b.inHeaders[i].msg_hdr.msg_namelen;
                const DnsBytes query(b.in[i].data(), b.inHeaders[i].msg_len);
                const DnsBytes reply =
                    pipeline_.handleQuery(query, b.clients[i], channel, b.out[i]);
                if (reply.empty()) {
                    continue;
                }
                b.outVectors[replies] = {const_cast<std::byte*>(reply.data()), reply.size()};
                b.outHeaders[replies] = {};
                b.outHeaders[replies].msg_hdr.msg_iov = &b.outVectors[replies];
                b.outHeaders[replies].msg_hdr.msg_iovlen = 1;
                b.outHeaders[replies].msg_hdr.msg_name = &b.clients[i].address;
                b.outHeaders[replies].msg_hdr.msg_namelen = b.clients[i].length;
                ++replies;
            }
            lines.reset();
            sendAll(replies);
            if (static_cast<std::size_t>(got) < kBatch) {
                return {};
            }
        }
        return {};
    }

    void sendAll(unsigned count) {
        Buffers& b = *buffers_;
        unsigned sent = 0;
        while (sent < count) {
            const int done = ::sendmmsg(socket_.native_handle(), b.outHeaders.data() + sent,
                                        count - sent, MSG_DONTWAIT);
            if (done <= 0) {
                // A reply that cannot go now is dropped, like any lost datagram;
                // skip it and keep the others.
                ++sent;
                continue;
            }
            sent += static_cast<unsigned>(done);
        }
    }

    asio::ip::udp::socket socket_;
    QueryPipeline& pipeline_;
    std::unique_ptr<Buffers> buffers_;
};

DnsServer::DnsServer(asio::io_context& io, const DaemonConfig& config, QueryPipeline& pipeline,
                     std::size_t socketCount, std::chrono::milliseconds retryDelay)
    : io_(io),
      config_(config),
      pipeline_(pipeline),
      socketCount_(std::max<std::size_t>(socketCount, 1)),
      retryDelay_(retryDelay),
      retryTimer_(io) {}

DnsServer::~DnsServer() {
    const std::lock_guard<std::mutex> guard(lock_);
    if (current_) {
        current_->ended = true;
        for (const auto& socket : current_->sockets) {
            socket->close();
        }
    }
}

void DnsServer::startDNSListener() {
    std::error_code error;
    const auto address = asio::ip::make_address(config_.listenHost, error);
    auto generation = std::make_shared<Generation>();
    if (!error) {
        const asio::ip::udp::endpoint local(address, config_.dnsPort);
        for (std::size_t i = 0; i < socketCount_ && !error; ++i) {
            auto socket = std::make_shared<Socket>(io_, pipeline_);
            error = socket->open(local);
            if (!error) {
                generation->sockets.push_back(std::move(socket));
            }
        }
    }
    if (error) {
        generation->sockets.clear();
        logLine("No pude crear el listener (" + error.message() + ") — reintento en 2 s");
        scheduleRestart();
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(lock_);
        current_ = generation;
    }
    logLine("Servidor DNS escuchando en " + config_.listenHost + ":" +
            std::to_string(config_.dnsPort));
    for (const auto& socket : generation->sockets) {
        socket->receive(generation, *this);
    }
}

void DnsServer::failed(const std::shared_ptr<Generation>& generation,
                       const std::error_code& error) {
    if (generation->ended.exchange(true)) {
        return;
    }
    logLine("Listener falló (" + error.message() + ") — reintento en 2 s");
    for (const auto& socket : generation->sockets) {
        socket->close();
    }
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (current_ == generation) {
            current_.reset();
        }
    }
    scheduleRestart();
}

void DnsServer::scheduleRestart() {
    retryTimer_.expires_after(retryDelay_);
    retryTimer_.async_wait([this](const std::error_code& error) {
        if (!error) {
            startDNSListener();
        }
    });
}

}  // namespace tranca
