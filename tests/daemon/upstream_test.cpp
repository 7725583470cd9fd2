#include "daemon/upstream.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "tests/daemon/support.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;
using testing::CapturedOutput;
using testing::makeQuery;
using testing::makeReply;

// A plain-DNS resolver on a loopback port that answers and counts what it
// received.
class FakeUdpResolver {
  public:
    FakeUdpResolver() : socket_(io_, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeUdpResolver() {
        stop_ = true;
        std::error_code ignored;
        socket_.send_to(asio::buffer("x", 1), socket_.local_endpoint(), 0, ignored);
        thread_.join();
    }
    asio::ip::udp::endpoint endpoint() const { return socket_.local_endpoint(); }
    int received() const { return received_.load(); }

  private:
    void serve() {
        std::array<std::byte, 2048> buffer;
        while (!stop_) {
            asio::ip::udp::endpoint from;
            std::error_code error;
            const std::size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, error);
            if (error || stop_) {
                continue;
            }
            ++received_;
            DnsMessage query(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            const DnsMessage reply = makeReply(query, {{10, 0, 0, 7}});
            socket_.send_to(asio::buffer(reply), from, 0, error);
        }
    }

    asio::io_context io_;
    asio::ip::udp::socket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
    std::thread thread_;
};

// A TCP port that accepts and counts connections and never speaks TLS: every
// HTTPS attempt to it times out.
class SilentTcp {
  public:
    SilentTcp() : acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~SilentTcp() {
        io_.stop();
        thread_.join();
    }
    std::string url() const {
        return "https://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port()) +
               "/dns-query";
    }
    int accepted() const { return accepted_.load(); }

  private:
    void accept() {
        acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
            if (!error) {
                ++accepted_;
                held_.push_back(std::move(socket));
            }
            accept();
        });
    }
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::vector<asio::ip::tcp::socket> held_;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

class ForwarderTest : public ::testing::Test {
  protected:
    ForwarderTest() : work_(asio::make_work_guard(io_)) {
        for (int i = 0; i < 2; ++i) {
            pool_.emplace_back([this] { io_.run(); });
        }
    }
    ~ForwarderTest() override {
        forwarder_.reset();
        work_.reset();
        io_.stop();
        for (auto& t : pool_) {
            t.join();
        }
    }

    void make(std::vector<std::string> doh, std::vector<asio::ip::udp::endpoint> plain,
              std::chrono::milliseconds plainPeriod = 300'000ms,
              std::chrono::milliseconds udpTimeout = 200ms) {
        UpstreamEndpoints endpoints;
        endpoints.dohUrls = std::move(doh);
        endpoints.plain = std::move(plain);
        endpoints.dohTimeout = 300ms;
        endpoints.udpTimeout = udpTimeout;
        endpoints.plainPeriod = plainPeriod;
        forwarder_ = std::make_unique<UpstreamForwarder>(io_, std::move(endpoints));
    }

    // Forwards and waits; also checks the completion runs exactly once.
    std::optional<DnsMessage> forward(const DnsMessage& query) {
        auto calls = std::make_shared<std::atomic<int>>(0);
        std::promise<std::optional<DnsMessage>> result;
        forwarder_->forwardQuery(query, [&result, calls](std::optional<DnsMessage> answer) {
            if (calls->fetch_add(1) == 0) {
                result.set_value(std::move(answer));
            }
        });
        auto future = result.get_future();
        EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
        auto answer = future.get();
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(calls->load(), 1) << "completion called more than once";
        return answer;
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> pool_;
    std::unique_ptr<UpstreamForwarder> forwarder_;
};

// The switch itself is proven through the binary; its expiry needs a short
// period no process test can wait out.
TEST_F(ForwarderTest, PlainPreferenceExpires) {
    FakeUdpResolver resolver;
    SilentTcp doh;
    make({doh.url()}, {resolver.endpoint()}, 500ms);
    const CapturedOutput log;
    forward(makeQuery(1, "a.example"));
    EXPECT_TRUE(forwarder_->plainPreferred());
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(forwarder_->plainPreferred());
    forward(makeQuery(2, "a.example"));
    EXPECT_EQ(doh.accepted(), 2) << "expired preference still skipped HTTPS";
    EXPECT_EQ(log.count("HTTPS no responde"), 2u) << log.text();
}

}  // namespace
}  // namespace tranca
