#include "daemon/dns/dns_tcp_server.h"

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/thread_pool.hpp>
#include <asio/write.hpp>
#include <thread>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using asio::ip::tcp;

// Replies with `records` A records from a thread of its own, as upstream
// replies arrive.
class PoolForwarder : public QueryForwarder {
  public:
    explicit PoolForwarder(int records) : records_(records) {}
    ~PoolForwarder() override { pool_.join(); }
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

  private:
    const int records_;
    asio::thread_pool pool_{1};
};

class TcpServerTest : public ::testing::Test {
  protected:
    void start(int records, TcpLimits limits) {
        dir_.write("blocklist.txt", "adult.example\n");
        lists_ = std::make_unique<Blocklist>((dir_ / "blocklist.txt").string(),
                                             (dir_ / "none").string(), (dir_ / "none").string());
        lists_->reload();
        forwarder_ = std::make_unique<PoolForwarder>(records);
        pipeline_ = std::make_unique<QueryPipeline>(config_, *lists_, safe_, *forwarder_, 4096);
        tcp::acceptor probe(io_, {asio::ip::make_address("127.0.0.1"), 0});
        config_.dnsPort = probe.local_endpoint().port();  // free, for the server to take
        probe.close();
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
        forwarder_.reset();  // its last replies go to the stopped loop
    }

    // A client on its own context; a small receive buffer when it will not read.
    std::unique_ptr<tcp::socket> client(bool reads = true) {
        auto socket = std::make_unique<tcp::socket>(clientIo_);
        socket->open(tcp::v4());
        if (!reads) {
            socket->set_option(asio::socket_base::receive_buffer_size(4096));
        }
        std::error_code error;
        socket->connect({asio::ip::make_address("127.0.0.1"), config_.dnsPort}, error);
        return socket;
    }
    static void ask(tcp::socket& socket, int count, const std::string& name) {
        std::vector<std::uint8_t> framed;
        for (int i = 0; i < count; ++i) {
            const DnsMessage query = testing::makeQuery(static_cast<std::uint16_t>(i), name);
            framed.push_back(static_cast<std::uint8_t>(query.size() >> 8));
            framed.push_back(static_cast<std::uint8_t>(query.size() & 0xff));
            for (const std::byte b : query) {
                framed.push_back(static_cast<std::uint8_t>(b));
            }
        }
        std::error_code error;
        asio::write(socket, asio::buffer(framed), error);
    }
    static bool answered(tcp::socket& socket) {
        std::array<std::uint8_t, 2> length{};
        std::error_code error;
        asio::read(socket, asio::buffer(length), error);
        std::vector<std::uint8_t> body(length[0] << 8 | length[1]);
        return !error && !body.empty() &&
               asio::read(socket, asio::buffer(body), error) == body.size();
    }

    testing::ScratchDir dir_;
    DaemonConfig config_;
    SafeSearch safe_{[](std::string_view) { return std::nullopt; }};
    std::unique_ptr<Blocklist> lists_;
    std::unique_ptr<PoolForwarder> forwarder_;
    std::unique_ptr<QueryPipeline> pipeline_;
    asio::io_context io_;
    asio::io_context clientIo_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{
        asio::make_work_guard(io_)};
    std::shared_ptr<DnsTcpServer> server_;
    std::array<std::thread, 3> threads_;
};

// Short pipelining clients against a small table: connections are evicted
// while their replies are being written from other threads.
TEST_F(TcpServerTest, EvictionWhileRepliesAreWrittenLeavesTheServerWhole) {
    start(4, TcpLimits{.maxConnections = 4});
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([this, c] {
            for (int round = 0; round < 150; ++round) {
                const auto socket = client();
                ask(*socket, 30, round % 2 ? "adult.example" : "a.forwarded.example");
                for (int read = 0; read < (round + c) % 5 && answered(*socket); ++read) {
                }
            }
        });
    }
    for (auto& thread : clients) {
        thread.join();
    }
    // Connections the clients left may still wait for their replies, and a
    // full table of busy ones turns a newcomer away: the server is whole when
    // it serves again once they drain.
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        const auto last = client();
        ask(*last, 3, "b.forwarded.example");
        served = answered(*last) && answered(*last) && answered(*last);
        if (!served) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    EXPECT_TRUE(served);
    EXPECT_LE(server_->openConnections(), 4u);
}

// Clients that ask for large replies and never read them fill the table; the
// write deadline frees their places.
TEST_F(TcpServerTest, ClientsThatNeverReadLoseTheirPlaceToOneThatDoes) {
    start(250, TcpLimits{.maxConnections = 4, .writeTimeout = std::chrono::milliseconds(300)});
    std::vector<std::unique_ptr<tcp::socket>> stuck;
    for (int c = 0; c < 4; ++c) {
        stuck.push_back(client(false));
        ask(*stuck.back(), 2000, "big" + std::to_string(c) + ".example");  // a zone each
    }
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto socket = client();
        ask(*socket, 1, "adult.example");
        served = answered(*socket);
    }
    EXPECT_TRUE(served) << "the clients that never read kept the table";
}

}  // namespace
}  // namespace tranca
