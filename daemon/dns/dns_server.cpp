#include "daemon/dns/dns_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <cerrno>
#include <optional>

#include "daemon/log.h"

namespace tranca {

namespace {

// Datagrams taken per system call.
constexpr std::size_t kBatch = 32;
constexpr std::size_t kMaxDatagram = 65536;
// A reader blocked on a quiet socket looks at the stop flag this often, in
// case the wake-up on stop does not reach it.
constexpr timeval kStopCheck{.tv_sec = 0, .tv_usec = 250'000};

std::error_code lastError() {
    return {errno, std::system_category()};
}

}  // namespace

struct DnsServer::Generation {
    std::vector<std::shared_ptr<Socket>> sockets;
    std::atomic<bool> ended{false};
};

// One listening socket and its reader. Also the reply channel of the queries
// it received, so a late forwarded reply keeps the descriptor open until it
// is sent.
class DnsServer::Socket : public ReplyChannel, public std::enable_shared_from_this<Socket> {
  public:
    explicit Socket(QueryPipeline& pipeline) : pipeline_(pipeline) {}
    ~Socket() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    std::error_code open(const asio::ip::udp::endpoint& local) {
        fd_ = ::socket(local.protocol().family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            return lastError();
        }
        const int on = 1;
        if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &kStopCheck, sizeof kStopCheck) != 0 ||
            ::bind(fd_, local.data(), static_cast<socklen_t>(local.size())) != 0) {
            return lastError();
        }
        return {};
    }

    // The reader's loop: blocks for the first datagram, takes what else is
    // queued in the same call, decides each and sends the local replies in
    // one call. Ends when the generation does or the socket fails.
    void serve(const std::shared_ptr<Generation>& generation, DnsServer& server) {
        auto buffers = std::make_unique<Buffers>();
        const std::shared_ptr<ReplyChannel> channel = shared_from_this();
        while (!generation->ended.load(std::memory_order_relaxed)) {
            const int got = receive(*buffers);
            if (got > 0) {
                answer(*buffers, got, channel);
                continue;
            }
            // Timeouts, signals and errors queued for one datagram (ICMP)
            // are not the socket's fault; a stop shows up as nothing read.
            if (got == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ||
                errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH) {
                continue;
            }
            server.failed(generation, lastError());
            return;
        }
    }

    // Wakes the reader out of its wait; it then sees the generation ended.
    void stop() { (void)::shutdown(fd_, SHUT_RD); }

    void send(const ClientAddress& client, DnsBytes reply) override {
        // sendto is safe from any thread; failures are ignored by design.
        (void)::sendto(fd_, reply.data(), reply.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr*>(&client.address), client.length);
    }

  private:
    struct Buffers {
        std::array<std::array<std::byte, kMaxDatagram>, kBatch> in;
        std::array<std::array<std::byte, kReplyBufferSize>, kBatch> out;
        std::array<ClientAddress, kBatch> clients;
        std::array<PreparedQuery, kBatch> prepared;
        std::array<mmsghdr, kBatch> inHeaders;
        std::array<iovec, kBatch> inVectors;
        std::array<mmsghdr, kBatch> outHeaders;
        std::array<iovec, kBatch> outVectors;
    };

    int receive(Buffers& b) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            b.inVectors[i] = {b.in[i].data(), kMaxDatagram};
            b.inHeaders[i] = {};
            b.inHeaders[i].msg_hdr.msg_iov = &b.inVectors[i];
            b.inHeaders[i].msg_hdr.msg_iovlen = 1;
            b.inHeaders[i].msg_hdr.msg_name = &b.clients[i].address;
            b.inHeaders[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
        return ::recvmmsg(fd_, b.inHeaders.data(), kBatch, MSG_WAITFORONE, nullptr);
    }

    void answer(Buffers& b, int got, const std::shared_ptr<ReplyChannel>& channel) {
        unsigned replies = 0;
        {
            // The block lines of this batch go out in one write, before the
            // answers, so the log never lags the browser.
            const LogBatch lines;
            // Every name of the batch read first, its list entries on their
            // way from memory while the others are decided.
            for (int i = 0; i < got; ++i) {
                pipeline_.prepare(DnsBytes(b.in[i].data(), b.inHeaders[i].msg_len), b.prepared[i]);
            }
            for (int i = 0; i < got; ++i) {
                pipeline_.prefetchNames(b.prepared[i]);
            }
            for (int i = 0; i < got; ++i) {
                b.clients[i].length = b.inHeaders[i].msg_hdr.msg_namelen;
                const DnsBytes reply =
                    pipeline_.handlePrepared(b.prepared[i], b.clients[i], channel, b.out[i]);
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
        }
        unsigned sent = 0;
        while (sent < replies) {
            const int done =
                ::sendmmsg(fd_, b.outHeaders.data() + sent, replies - sent, MSG_DONTWAIT);
            // A reply that cannot go now is dropped, like any lost datagram;
            // skip it and keep the others.
            sent += done > 0 ? static_cast<unsigned>(done) : 1;
        }
    }

    int fd_ = -1;
    QueryPipeline& pipeline_;
};

DnsServer::DnsServer(asio::io_context& io, const DaemonConfig& config, QueryPipeline& pipeline,
                     std::size_t socketCount, std::chrono::milliseconds retryDelay)
    : io_(io),
      config_(config),
      pipeline_(pipeline),
      socketCount_(std::max<std::size_t>(socketCount, 1)),
      retry_(io.get_executor(), retryDelay) {}

DnsServer::~DnsServer() {
    std::vector<std::thread> readers;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (current_) {
            end(*current_);
        }
        readers.swap(readers_);
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
}

void DnsServer::end(Generation& generation) {
    generation.ended = true;
    for (const auto& socket : generation.sockets) {
        socket->stop();
    }
}

void DnsServer::startDNSListener() {
    // Readers of a failed generation have left or are leaving their loop.
    std::vector<std::thread> finished;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        finished.swap(readers_);
    }
    for (std::thread& reader : finished) {
        reader.join();
    }
    std::error_code error;
    const auto address = asio::ip::make_address(config_.listenHost, error);
    auto generation = std::make_shared<Generation>();
    if (!error) {
        const asio::ip::udp::endpoint local(address, config_.dnsPort);
        for (std::size_t i = 0; i < socketCount_ && !error; ++i) {
            auto socket = std::make_shared<Socket>(pipeline_);
            error = socket->open(local);
            if (!error) {
                generation->sockets.push_back(std::move(socket));
            }
        }
    }
    if (error) {
        generation->sockets.clear();
        retry_.failed("No pude crear el listener", error.message(), [this] { startDNSListener(); });
        return;
    }
    logLine("Servidor DNS escuchando en " + config_.listenHost + ":" +
            std::to_string(config_.dnsPort));
    const std::lock_guard<std::mutex> guard(lock_);
    current_ = generation;
    for (const auto& socket : generation->sockets) {
        readers_.emplace_back([socket, generation, this] { socket->serve(generation, *this); });
    }
}

void DnsServer::failed(const std::shared_ptr<Generation>& generation,
                       const std::error_code& error) {
    if (generation->ended.exchange(true)) {
        return;
    }
    retry_.report("Listener falló", error.message());
    end(*generation);
    {
        const std::lock_guard<std::mutex> guard(lock_);
        if (current_ == generation) {
            current_.reset();
        }
    }
    asio::post(io_, [this] { scheduleRestart(); });
}

void DnsServer::scheduleRestart() {
    retry_.schedule([this] { startDNSListener(); });
}

}  // namespace tranca
