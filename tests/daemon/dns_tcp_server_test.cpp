#include "daemon/dns_tcp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <thread>

#include "tests/daemon/support.h"

namespace tranca {
namespace {

using testing::makeQuery;

// Answers every forward from a thread of its own with a reply of `records`
// A records, the way replies from the upstreams arrive.
class PoolForwarder : public QueryForwarder {
  public:
    explicit PoolForwarder(int records) : records_(records) {}
    void forwardQuery(DnsBytes query, Completion done) override {
        asio::post(pool_, [query = DnsMessage(query.begin(), query.end()), done, this] {
            DnsMessage reply = testing::makeReply(query, {});
            for (int i = 0; i < records_; ++i) {
                testing::append(reply, {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 1, 0, 0, 4, 10, 0, 0, 1});
            }
            reply[6] = std::byte(records_ >> 8);
            reply[7] = std::byte(records_ & 0xff);
            done(std::move(reply));
        });
    }
    ~PoolForwarder() override { pool_.join(); }

  private:
    const int records_;
    asio::thread_pool pool_{1};
};

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A connected client socket; its receive buffer small when it means not to read.
int connectTo(std::uint16_t port, bool reads = true) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    if (!reads) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    const timeval timeout{.tv_sec = 5, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

void sendQueries(int fd, int count, std::string_view name) {
    std::string framed;
    for (int i = 0; i < count; ++i) {
        const DnsMessage query = makeQuery(static_cast<std::uint16_t>(i), name);
        framed += static_cast<char>(query.size() >> 8);
        framed += static_cast<char>(query.size() & 0xff);
        framed.append(reinterpret_cast<const char*>(query.data()), query.size());
    }
    (void)::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
}

// Reads one framed reply; false on end of stream or time out.
bool readReply(int fd) {
    unsigned char length[2];
    std::vector<char> body;
    if (::recv(fd, length, 2, MSG_WAITALL) != 2) {
        return false;
    }
    body.resize(length[0] << 8 | length[1]);
    return ::recv(fd, body.data(), body.size(), MSG_WAITALL) == static_cast<ssize_t>(body.size());
}

class TcpServerTest : public ::testing::Test {
  protected:
    void start(int records, TcpLimits limits) {
        dir_.write("blocklist.txt", "adult.example\n");
        dir_.write("custom.txt", "");
        dir_.write("allow.txt", "");
        lists_ = std::make_unique<Blocklist>((dir_ / "blocklist.txt").string(),
                                             (dir_ / "custom.txt").string(),
                                             (dir_ / "allow.txt").string());
        lists_->reload();
        forwarder_ = std::make_unique<PoolForwarder>(records);
        pipeline_ =
            std::make_unique<QueryPipeline>(config_, *lists_, safeSearch_, *forwarder_, 4096);
        config_.dnsPort = freePort();
        server_ = DnsTcpServer::create(io_, config_, *pipeline_, limits, std::chrono::seconds(1));
        server_->start();
        for (auto& thread : threads_) {
            thread = std::thread([this] { io_.run(); });
        }
    }
    void TearDown() override {
        work_.reset();
        io_.stop();
        for (auto& thread : threads_) {
            thread.join();
        }
        forwarder_.reset();  // its last replies are posted to the stopped loop
    }

    testing::ScratchDir dir_;
    DaemonConfig config_;
    SafeSearch safeSearch_{[](std::string_view) { return std::nullopt; }};
    std::unique_ptr<Blocklist> lists_;
    std::unique_ptr<PoolForwarder> forwarder_;
    std::unique_ptr<QueryPipeline> pipeline_;
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
        asio::make_work_guard(io_)};
    std::shared_ptr<DnsTcpServer> server_;
    std::array<std::thread, 3> threads_;
};

// Many short pipelining clients against a small table: connections are
// evicted while their replies are being written, from other threads.
TEST_F(TcpServerTest, EvictionWhileRepliesAreWrittenLeavesTheServerWhole) {
    start(4, TcpLimits{.maxConnections = 4});
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([this, c] {
            for (int round = 0; round < 150; ++round) {
                const int fd = connectTo(config_.dnsPort);
                sendQueries(fd, 30, round % 2 ? "adult.example" : "a.forwarded.example");
                for (int read = 0; read < (round + c) % 5; ++read) {
                    readReply(fd);
                }
                ::close(fd);
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    const int fd = connectTo(config_.dnsPort);
    sendQueries(fd, 3, "b.forwarded.example");
    EXPECT_TRUE(readReply(fd) && readReply(fd) && readReply(fd));
    ::close(fd);
    EXPECT_LE(server_->openConnections(), 4u);
}

// Clients that ask for large replies and never read them fill the table; the
// write deadline frees their places for a client that does read.
TEST_F(TcpServerTest, ClientsThatNeverReadLoseTheirPlaceToOneThatDoes) {
    start(250, TcpLimits{.maxConnections = 4, .writeTimeout = std::chrono::milliseconds(300)});
    std::vector<int> stuck;
    for (int c = 0; c < 4; ++c) {
        stuck.push_back(connectTo(config_.dnsPort, false));
        sendQueries(stuck.back(), 2000, "big" + std::to_string(c) + ".example");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // their replies pile up
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int fd = connectTo(config_.dnsPort);
        sendQueries(fd, 1, "adult.example");
        answered = readReply(fd);
        ::close(fd);
    }
    EXPECT_TRUE(answered) << "the non-readers kept the table";
    for (const int fd : stuck) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace tranca
