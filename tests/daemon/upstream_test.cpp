#include "daemon/upstream.h"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <future>
#include <thread>

#include "tests/daemon/dns_test_util.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;
using testing::makeQuery;
using testing::makeReply;

// A plain-DNS resolver on a loopback port that answers, stays silent or
// answers late, and counts what it received.
class FakeUdpResolver {
  public:
    // forged: another ID, 40 bytes of junk and 5 bytes first, then the
    // answer; junk: only those.
    enum class Mode { answer, silent, late, forged, junk };

    explicit FakeUdpResolver(Mode mode, std::chrono::milliseconds delay = 0ms)
        : mode_(mode),
          delay_(delay),
          socket_(io_, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0)) {
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
            if (mode_ == Mode::silent) {
                continue;
            }
            if (mode_ == Mode::late) {
                std::this_thread::sleep_for(delay_);
            }
            DnsMessage query(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            const DnsMessage reply = makeReply(query, {{10, 0, 0, 7}});
            if (mode_ == Mode::forged || mode_ == Mode::junk) {
                DnsMessage otherId = makeReply(query, {{6, 6, 6, 6}});
                otherId[1] ^= std::byte{1};
                const DnsMessage junk(40, std::byte{0x5A});
                const DnsMessage shortOne(reply.begin(), reply.begin() + 5);
                const DnsMessage* const bad[] = {&otherId, &junk, &shortOne};
                for (const DnsMessage* datagram : bad) {
                    socket_.send_to(asio::buffer(*datagram), from, 0, error);
                }
                if (mode_ == Mode::junk) {
                    continue;
                }
            }
            socket_.send_to(asio::buffer(reply), from, 0, error);
        }
    }

    Mode mode_;
    std::chrono::milliseconds delay_;
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

std::string closedPortUrl() {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const auto port = probe.local_endpoint().port();
    probe.close();
    return "https://127.0.0.1:" + std::to_string(port) + "/dns-query";
}

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
              std::chrono::milliseconds plainPeriod = 300'000ms) {
        UpstreamEndpoints endpoints;
        endpoints.dohUrls = std::move(doh);
        endpoints.plain = std::move(plain);
        endpoints.dohTimeout = 300ms;
        endpoints.udpTimeout = 200ms;
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

TEST_F(ForwarderTest, HttpsDownFallsBackToUdpAndLogsSwitchOnce) {
    FakeUdpResolver resolver(FakeUdpResolver::Mode::answer);
    SilentTcp doh;
    make({doh.url(), closedPortUrl()}, {resolver.endpoint()});
    const DnsMessage query = makeQuery(0x7777, "a.example");
    ::testing::internal::CaptureStdout();
    const auto first = forward(query);
    const auto second = forward(makeQuery(0x7778, "b.example"));
    const std::string log = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, makeReply(query, {{10, 0, 0, 7}}));
    ASSERT_TRUE(second);
    EXPECT_EQ(doh.accepted(), 1) << "second query did not go to plain DNS first";
    EXPECT_TRUE(forwarder_->plainPreferred());
    EXPECT_EQ(log.find("HTTPS no responde: se usa el DNS común por 5 min"),
              log.rfind("HTTPS no responde: se usa el DNS común por 5 min"))
        << log;
    EXPECT_NE(log.find("HTTPS no responde"), std::string::npos) << log;
}

TEST_F(ForwarderTest, PlainPreferenceExpires) {
    FakeUdpResolver resolver(FakeUdpResolver::Mode::answer);
    SilentTcp doh;
    make({doh.url()}, {resolver.endpoint()}, 500ms);
    ::testing::internal::CaptureStdout();
    forward(makeQuery(1, "a.example"));
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(forwarder_->plainPreferred());
    forward(makeQuery(2, "a.example"));
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(doh.accepted(), 2) << "expired preference still skipped HTTPS";
    std::size_t lines = 0;
    for (auto at = log.find("HTTPS no responde"); at != std::string::npos;
         at = log.find("HTTPS no responde", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u) << log;
}

TEST_F(ForwarderTest, SilentAndLateResolversAreSkipped) {
    FakeUdpResolver silent(FakeUdpResolver::Mode::silent);
    FakeUdpResolver late(FakeUdpResolver::Mode::late, 600ms);
    FakeUdpResolver good(FakeUdpResolver::Mode::answer);
    make({}, {silent.endpoint(), late.endpoint(), good.endpoint()});
    const auto started = std::chrono::steady_clock::now();
    const auto answer = forward(makeQuery(3, "c.example"));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(answer);
    EXPECT_EQ(silent.received(), 1);
    EXPECT_EQ(late.received(), 1);
    EXPECT_EQ(good.received(), 1) << "late answer was taken instead of moving on";
    EXPECT_GE(took, 350ms);
    EXPECT_LT(took, 5s);
}

TEST_F(ForwarderTest, EverythingSilentGivesNoAnswerAfterAllAttempts) {
    FakeUdpResolver a(FakeUdpResolver::Mode::silent);
    FakeUdpResolver b(FakeUdpResolver::Mode::silent);
    SilentTcp doh1;
    SilentTcp doh2;
    make({doh1.url(), doh2.url()}, {a.endpoint(), b.endpoint()});
    ::testing::internal::CaptureStdout();
    const auto answer = forward(makeQuery(4, "d.example"));
    const std::string log = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(answer);
    EXPECT_EQ(doh1.accepted(), 1);
    EXPECT_EQ(doh2.accepted(), 1);
    EXPECT_EQ(a.received(), 1);
    EXPECT_EQ(b.received(), 1);
    EXPECT_EQ(log, "") << "a double failure changed the preference";
    EXPECT_FALSE(forwarder_->plainPreferred());
}

TEST_F(ForwarderTest, RefusedPortMovesOnWithoutWaitingForTimer) {
    FakeUdpResolver good(FakeUdpResolver::Mode::answer);
    asio::ip::udp::endpoint closed;
    {
        asio::ip::udp::socket probe(io_,
                                    asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
        closed = probe.local_endpoint();
    }
    make({}, {closed, good.endpoint()});
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(forward(makeQuery(5, "e.example")));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(ForwarderTest, ForgedAndStrayDatagramsAreSkippedForTheRealReply) {
    FakeUdpResolver forged(FakeUdpResolver::Mode::forged);
    FakeUdpResolver junk(FakeUdpResolver::Mode::junk);
    FakeUdpResolver good(FakeUdpResolver::Mode::answer);
    const DnsMessage query = makeQuery(0x2222, "g.example");
    make({}, {forged.endpoint()});
    EXPECT_EQ(forward(query), makeReply(query, {{10, 0, 0, 7}}));
    make({}, {junk.endpoint(), good.endpoint()});
    EXPECT_EQ(forward(query), makeReply(query, {{10, 0, 0, 7}}));
    EXPECT_EQ(good.received(), 1) << "junk ended the wait as if it were an answer";
}

TEST_F(ForwarderTest, EmptyListsGiveNoAnswerAtOnce) {
    make({}, {});
    EXPECT_FALSE(forward(makeQuery(6, "f.example")));
}

}  // namespace
}  // namespace tranca
