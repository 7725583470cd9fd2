// The Linux settings backends on temporary files, and the self-check's
// protection routines on top of them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "daemon/system/selfcheck.h"
#include "platform/linux/dconf_proxy.h"
#include "platform/linux/resolvconf_store.h"
#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using platform::Dictionary;
using platform::Protocol;

using testing::CapturedOutput;
using testing::readText;
using testing::ScratchDir;
using testing::writeText;

TEST(ResolvConfStore, StagedChangesReachTheFileOnlyOnCommit) {
    ScratchDir dir;
    const auto resolv = dir.path() / "resolv.conf";
    writeText(resolv, "search lan\nnameserver 10.0.0.1\n");
    {
        platform::ResolvConfStore store(resolv, dir.path() / "lock", nullptr);
        EXPECT_FALSE(store.hasProtocol("resolv.conf", Protocol::proxies));
        ASSERT_TRUE(store.lock());
        Dictionary dns = *store.configuration("resolv.conf", Protocol::dns);
        dns["ServerAddresses"] = std::vector<std::string>{"127.0.0.1"};
        ASSERT_TRUE(store.setConfiguration("resolv.conf", Protocol::dns, dns));
        EXPECT_EQ(readText(resolv), "search lan\nnameserver 10.0.0.1\n");
    }
    EXPECT_EQ(readText(resolv), "search lan\nnameserver 10.0.0.1\n");

    // Committed: in place of the old servers, or at the end of a file without.
    for (const char* before : {"search lan\nnameserver 10.0.0.1\n", "search lan\n"}) {
        writeText(resolv, before);
        platform::ResolvConfStore store(resolv, dir.path() / "lock", nullptr);
        Dictionary dns = *store.configuration("resolv.conf", Protocol::dns);
        dns["ServerAddresses"] = std::vector<std::string>{"127.0.0.1"};
        store.setConfiguration("resolv.conf", Protocol::dns, dns);
        ASSERT_TRUE(store.commit()) << store.lastError();
        EXPECT_TRUE(store.apply());
        EXPECT_EQ(readText(resolv), "search lan\nnameserver 127.0.0.1\n") << before;
    }
}

std::string tooLargeForTheStore() {
    return "nameserver 10.0.0.1\n#" + std::string(1 << 20, '-') + "\n";
}

TEST(ResolvConfStore, CommitRefusesToRenderOverAFileItCannotReadWhole) {
    struct Spoiler {
        const char* what;
        std::function<void(const std::filesystem::path&)> spoil;
        std::string reason;
    };
    const std::vector<Spoiler> spoilers = {
        {"larger than the read limit",
         [](const std::filesystem::path& path) { writeText(path, tooLargeForTheStore()); },
         " ocupa más de 1 MiB"},
        {"a FIFO",
         [](const std::filesystem::path& path) {
             std::filesystem::remove(path);
             ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
         },
         " no es un archivo normal"},
    };
    for (const Spoiler& spoiler : spoilers) {
        SCOPED_TRACE(spoiler.what);
        ScratchDir dir;
        const auto resolv = dir.path() / "resolv.conf";
        writeText(resolv, "search lan\nnameserver 10.0.0.1\n");
        platform::ResolvConfStore store(resolv, dir.path() / "lock", nullptr);
        Dictionary dns = *store.configuration("resolv.conf", Protocol::dns);
        dns["ServerAddresses"] = std::vector<std::string>{"127.0.0.1"};
        ASSERT_TRUE(store.setConfiguration("resolv.conf", Protocol::dns, dns));
        // Changed after it was read, before the commit.
        spoiler.spoil(resolv);
        EXPECT_FALSE(store.commit());
        EXPECT_EQ(store.lastError(), resolv.string() + spoiler.reason);
        if (!std::filesystem::is_fifo(resolv)) {
            EXPECT_EQ(readText(resolv), tooLargeForTheStore());
        }
    }
}

// --- the protection routines ---------------------------------------------------

class ProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the DNS modes act only for root";
        }
        config_.dataDirectory = (dir_.path() / "data").string();
        writeText(resolv(), "nameserver 192.168.1.1\n");
        settings_.proxyJobFile = (dir_.path() / "tranca-proxy.service").string();
        settings_.proxyUser = "root";  // the stand-in listener below is this test's
        const auto root = dir_.path();
        settings_.opener = [root] {
            // dconf lives in the temporary tree; "dconf update" is not run.
            return std::make_unique<platform::ResolvConfStore>(
                (root / "resolv.conf").string(), (root / "lock").string(),
                std::make_unique<platform::DconfProxy>(
                    platform::DconfPaths{(root / "dconf").string(), "/bin/true"}));
        };
    }
    std::filesystem::path resolv() const { return dir_.path() / "resolv.conf"; }
    std::string keyfile() const {
        return readText(dir_.path() / "dconf/db/local.d/90-trancad-proxy");
    }

    // A listener on an ephemeral loopback port standing in for the proxy.
    int listenOnLoopback(std::uint16_t& port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        return fd;
    }

    ScratchDir dir_;
    DaemonConfig config_;
    ProtectionSettings settings_;
};

TEST_F(ProtectionTest, EnforcePointsDnsHomeAndProxyFollowsTheContentFilter) {
    std::uint16_t port = 0;
    const int fd = listenOnLoopback(port);
    settings_.contentFilterPort = port;
    SelfCheck check(config_, settings_);
    std::vector<std::string> told;
    check.onPutBack([&](std::string_view what) { told.emplace_back(what); });

    // No job file: the proxy stays off, nothing to turn off.
    std::string log;
    const auto enforce = [&] {
        const CapturedOutput out;
        check.enforceProtection();
        log = out.text();
    };
    enforce();
    EXPECT_NE(log.find("DNS de antes de Amparo guardados (1 servicios)"), std::string::npos);
    EXPECT_NE(log.find("DNS local en "), std::string::npos);
    EXPECT_NE(log.find(" (el filtro responde)"), std::string::npos);
    EXPECT_EQ(log.find("Proxy del filtro"), std::string::npos);
    EXPECT_EQ(readText(resolv()), "nameserver 127.0.0.1\n");

    // Job installed, but the listener is not the proxy's user's: never trusted.
    writeText(settings_.proxyJobFile, "[Service]\n");
    ProtectionSettings stranger = settings_;
    stranger.proxyUser = "nobody";
    {
        const CapturedOutput out;
        SelfCheck(config_, stranger).enforceProtection();
        EXPECT_EQ(out.text().find("Proxy del filtro"), std::string::npos);
    }

    // Job installed and listening as the proxy's user: our proxy goes on, locked.
    enforce();
    EXPECT_NE(log.find("Proxy del filtro encendido en "), std::string::npos);
    EXPECT_NE(log.find("(el filtro de contenido atiende)"), std::string::npos);
    EXPECT_NE(keyfile().find("mode='manual'"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / "dconf/db/local.d/locks/90-trancad-proxy"));

    // Unchanged: a healthy cycle logs nothing.
    enforce();
    EXPECT_EQ(log, "");
    EXPECT_TRUE(told.empty()) << "setting the DNS at start is no put-back";
    // Changed by hand: put back, and the trusted person told.
    writeText(resolv(), "nameserver 9.9.9.9\n");
    enforce();
    EXPECT_EQ(readText(resolv()), "nameserver 127.0.0.1\n");
    EXPECT_EQ(told, std::vector<std::string>{"el DNS"});

    // The proxy stops listening: turned off with the reason.
    ::close(fd);
    enforce();
    EXPECT_NE(log.find("Proxy del filtro apagado en "), std::string::npos);
    EXPECT_NE(log.find("(el filtro de contenido no atiende)"), std::string::npos);
    EXPECT_NE(keyfile().find("mode='none'"), std::string::npos);
}

TEST_F(ProtectionTest, QueuedEnforceRunsOnTheNetworkQueueAndYieldsToStop) {
    SelfCheck check(config_, settings_);
    asio::io_context queue;
    check.attachNetworkQueue(queue);
    check.queueEnforceProtection();
    asio::post(queue, [&] { check.stopProtection("el filtro no responde"); });
    check.queueEnforceProtection();
    {
        const CapturedOutput quiet;
        queue.run();
    }
    EXPECT_TRUE(check.stopping());
    EXPECT_EQ(readText(resolv()).substr(0, 20), "nameserver 1.1.1.3\nn");
}

}  // namespace
}  // namespace tranca
