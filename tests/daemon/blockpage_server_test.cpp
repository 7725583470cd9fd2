// The block page server in process, against real loopback sockets, with short
// deadlines so the slow paths run in a test's time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon/blockpage.h"
#include "daemon/daemon.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;

std::uint16_t freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A plain blocking client socket; closed on destruction.
class Client {
  public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }

    bool connected() const { return connected_; }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            ASSERT_GT(sent, 0);
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
    }

    // Sends everything; the errno of a failed send, 0 when all went out.
    int trySend(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                return errno;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return 0;
    }

    // Everything until the server closes, or what came before the timeout.
    std::string receiveAll(std::chrono::milliseconds timeout, bool* closed = nullptr) {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char chunk[8192];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                if (closed) {
                    *closed = true;
                }
                break;
            }
            received.append(chunk, static_cast<std::size_t>(got));
        }
        return received;
    }

  private:
    int fd_;
    bool connected_ = false;
};

std::string fetch(std::uint16_t port, std::string_view request) {
    Client client(port);
    EXPECT_TRUE(client.connected());
    client.send(request);
    return client.receiveAll(10s);
}

// True once the server answers with the built-in page.
bool waitForPage(std::uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        Client client(port);
        if (client.connected()) {
            client.send("GET / HTTP/1.1\r\n\r\n");
            return client.receiveAll(10s).starts_with("HTTP/1.1 200 OK");
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

class BlockPageServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("blockpage_server_" + std::to_string(::getpid()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
        config_.httpPort = freeTcpPort();
        config_.redirectPath = (directory_ / "redirect.txt").string();
    }

    void TearDown() override {
        work_.reset();
        io_.stop();
        for (std::thread& thread : threads_) {
            thread.join();
        }
        std::filesystem::remove_all(directory_);
    }

    std::shared_ptr<BlockPageServer> start(const Redirect& redirect, BlockPageLimits limits) {
        auto server = BlockPageServer::create(io_, config_, redirect, limits);
        server->startBlockPageServer();
        for (int i = 0; i < 2; ++i) {
            threads_.emplace_back([this] { io_.run(); });
        }
        return server;
    }

    static bool waitUntil(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    std::filesystem::path directory_;
    DaemonConfig config_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::vector<std::thread> threads_;
};

TEST_F(BlockPageServerTest, AnswersAnyMethodWithThePageOrTheRedirect) {
    Redirect redirect(config_.redirectPath, "");
    auto server = start(redirect, {});
    ASSERT_TRUE(waitUntil([&] { return server->listening(); }));

    const std::string page = fetch(config_.httpPort, "GET / HTTP/1.1\r\nHost: Example.ORG\r\n\r\n");
    EXPECT_EQ(page, blockPageResponse("Host: Example.ORG\r\n", ""));

    std::ofstream(config_.redirectPath) << "https://ayuda.example/stop\n";
    ::testing::internal::CaptureStdout();
    redirect.reload();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(fetch(config_.httpPort, "BREW /pot?x HTTP/1.0\r\n\r\n"),
              redirectResponse("https://ayuda.example/stop"));
    EXPECT_TRUE(waitUntil([&] { return server->openConnections() == 0; }));
}

TEST_F(BlockPageServerTest, SilentClientGetsTheFallbackPageAfterTheDeadline) {
    Redirect redirect(config_.redirectPath, "");
    auto server = start(redirect, {.requestTimeout = 300ms});
    ASSERT_TRUE(waitUntil([&] { return server->listening(); }));
    Client client(config_.httpPort);
    ASSERT_TRUE(client.connected());
    bool closed = false;
    const std::string response = client.receiveAll(10s, &closed);
    EXPECT_TRUE(closed) << "the server must close a silent connection";
    EXPECT_NE(response.find(">el sitio</p>"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return server->openConnections() == 0; }));
}

TEST_F(BlockPageServerTest, AtTheCapTheOldestWaitingClientMakesWayForANewOne) {
    Redirect redirect(config_.redirectPath, "");
    // Waiting clients keep their places far longer than the test runs, so
    // only making way can let the later ones in.
    auto server = start(redirect, {.requestTimeout = 60s, .maxConnections = 3});
    ASSERT_TRUE(waitUntil([&] { return server->listening(); }));
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.push_back(std::make_unique<Client>(config_.httpPort));
    }
    ASSERT_TRUE(waitUntil([&] { return server->openConnections() == 3; }));
    std::atomic<bool> done{false};
    std::size_t most = 0;
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most, server->openConnections());
            std::this_thread::sleep_for(2ms);
        }
    });
    const auto closedWithin = [](Client& client, std::chrono::milliseconds timeout) {
        bool closed = false;
        return client.receiveAll(timeout, &closed).empty() && closed;
    };

    waiting.push_back(std::make_unique<Client>(config_.httpPort));
    EXPECT_TRUE(closedWithin(*waiting[0], 10s));
    Client late(config_.httpPort);
    late.send("GET / HTTP/1.1\r\nHost: late.example\r\n\r\n");
    EXPECT_NE(late.receiveAll(10s).find(">late.example</p>"), std::string::npos);
    EXPECT_TRUE(closedWithin(*waiting[1], 10s));
    done = true;
    sampler.join();
    EXPECT_LE(most, 3u) << "a descriptor beyond the cap";
    EXPECT_FALSE(closedWithin(*waiting[2], 200ms));
    EXPECT_FALSE(closedWithin(*waiting[3], 200ms));
    // The server answers the clients' closing on its own threads, with this
    // body's redirect: it must be done before the body's locals go.
    waiting.clear();
    EXPECT_TRUE(waitUntil([&] { return server->openConnections() == 0; }));
}

TEST_F(BlockPageServerTest, ClientStillSendingItsBodyIsNotResetBeforeItReadsTheAnswer) {
    // A form post larger than one read: closing with its rest unread would
    // reset the connection, failing the client's upload and with it the page.
    Redirect redirect(config_.redirectPath, "");
    auto server = start(redirect, {});
    ASSERT_TRUE(waitUntil([&] { return server->listening(); }));
    Client client(config_.httpPort);
    const std::string body(900'000, 'x');
    client.send("POST /form HTTP/1.1\r\nHost: big.example\r\nContent-Length: 900000\r\n\r\n");
    int failed = 0;
    std::thread sender([&] { failed = client.trySend(body); });
    sender.join();
    EXPECT_EQ(failed, 0) << "upload reset by the server: " << std::strerror(failed);
    EXPECT_EQ(client.receiveAll(10s), blockPageResponse("Host: big.example\r\n", ""));
}

TEST_F(BlockPageServerTest, BusyPortIsRetriedUntilItIsFree) {
    // Another program holds the port.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.httpPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 4), 0);

    Redirect redirect(config_.redirectPath, "");
    ::testing::internal::CaptureStdout();
    auto server = start(redirect, {.retryDelay = 150ms});
    std::this_thread::sleep_for(600ms);
    EXPECT_FALSE(server->listening());
    ::close(holder);
    const bool listening = waitUntil([&] { return server->listening(); });
    const std::string log = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(listening) << log;
    std::size_t failures = 0;
    for (auto at = log.find("No pude abrir el puerto 80 ("); at != std::string::npos;
         at = log.find("No pude abrir el puerto 80 (", at + 1)) {
        ++failures;
    }
    EXPECT_GE(failures, 2u) << log;
    EXPECT_NE(log.find(") — reintento en 5 s\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Página de bloqueo escuchando en 127.0.0.1:" +
                       std::to_string(config_.httpPort) + "\n"),
              std::string::npos)
        << log;
    EXPECT_NE(fetch(config_.httpPort, "GET / HTTP/1.1\r\nHost: a\r\n\r\n").find("200 OK"),
              std::string::npos);
}

TEST(DaemonBlockPage, RedirectFileChangedWhileRunningIsPickedUpAtTheNextTick) {
    const auto directory =
        std::filesystem::temp_directory_path() / ("daemon_blockpage_" + std::to_string(::getpid()));
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    const std::uint16_t port = freeTcpPort();
    Environment environment{{"TRANCAD_DIR", directory.string()},
                            {"TRANCAD_HTTP", std::to_string(port)},
                            {"TRANCAD_PORT", std::to_string(freeTcpPort())},
                            {"TRANCAD_DNS", "0"},
                            {"TRANCAD_REDIRECT", ""}};
    DaemonConfig config = makeBaseConfig(std::move(environment), {});
    completeDaemonConfig(config);
    {
        Daemon daemon(config, DaemonTimings{.maintenanceInterval = 200ms}, [](int) {});
        daemon.start();
        std::thread loop([&] { daemon.runLoop(); });
        EXPECT_TRUE(waitForPage(port));
        std::ofstream(directory / "redirect.txt") << "# nuevo destino\nhttp://ayuda.example/\n";
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::string response;
        while (std::chrono::steady_clock::now() < deadline) {
            response = fetch(port, "GET / HTTP/1.1\r\nHost: a.example\r\n\r\n");
            if (response.starts_with("HTTP/1.1 302")) {
                break;
            }
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_EQ(response, redirectResponse("http://ayuda.example/"));
        EXPECT_EQ(*daemon.sharedRedirect().url(), "http://ayuda.example/");
        EXPECT_GE(daemon.tickCount(), 1u);
        daemon.stopLoop();
        loop.join();
    }
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace tranca
