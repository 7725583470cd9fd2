// The DNS and proxy rules over a store held in memory, where cases the two
// Linux backends cannot show (several services, a failing lock or commit,
// services without a name or a DNS protocol) are easy to set up.
#include "daemon/system/netconfig.h"
#include "tests/support/daemon_support.h"
#include "tests/support/memory_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tranca {
namespace {

using platform::Dictionary;
using platform::Protocol;
using platform::ServiceInfo;
using testing::MemoryStore;
using testing::StoreState;

class NetConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the DNS modes act only for root";
        }
        config_.dataDirectory = directory_.path().string();
        state_ = std::make_shared<StoreState>();
        state_->services = {
            {"wifi-id", "Wi-Fi", true}, {"eth-id", "Ethernet", true}, {"off-id", "Apagado", false}};
        state_->dns["wifi-id"] = {{"ServerAddresses", std::vector<std::string>{"192.168.1.1"}},
                                  {"SearchDomains", std::vector<std::string>{"casa"}}};
        state_->dns["eth-id"] = {};
        state_->dns["off-id"] = {{"ServerAddresses", std::vector<std::string>{"10.9.9.9"}}};
    }

    NetConfig net() {
        auto state = state_;
        return NetConfig(config_, [state] {
            ++state->opens;
            return std::make_unique<MemoryStore>(state);
        });
    }
    std::vector<std::string> servers(const std::string& id) {
        return platform::textListValue(state_->dns[id], "ServerAddresses")
            .value_or(std::vector<std::string>{});
    }
    std::string logOf(const std::function<void()>& action) {
        const testing::CapturedOutput out;
        action();
        return out.text();
    }

    testing::ScratchDir directory_;
    DaemonConfig config_;
    std::shared_ptr<StoreState> state_;
};

std::vector<std::string> messagesOf(const std::string& log) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < log.size()) {
        const std::size_t end = log.find('\n', start);
        const std::string line = log.substr(start, end - start);
        out.push_back(line.substr(line.find("] ") + 2));
        start = end == std::string::npos ? log.size() : end + 1;
    }
    return out;
}

TEST_F(NetConfigTest, LockOrCommitFailureIsLoggedAndChangesNothing) {
    for (const bool lockFails : {true, false}) {
        state_->failLock = lockFails;
        state_->failCommit = !lockFails;
        const std::string log = logOf([&] { EXPECT_FALSE(net().setDNSMode(DNSMode::local, "x")); });
        EXPECT_EQ(messagesOf(log),
                  std::vector<std::string>{
                      lockFails ? "No se pudo abrir la configuración de red: error de prueba"
                                : "No se pudo guardar DNS local: error de prueba"});
        EXPECT_EQ(servers("wifi-id"), std::vector<std::string>{"192.168.1.1"});
    }
}

TEST_F(NetConfigTest, OriginalsAreRecordedOnceWithOurOwnServersAsEmpty) {
    state_->dns["eth-id"] = {{"ServerAddresses", backupServers()}};
    const std::string log = logOf([&] { net().saveOriginalDNS(); });
    EXPECT_EQ(messagesOf(log),
              std::vector<std::string>{"DNS de antes de Amparo guardados (2 servicios)"});
    struct stat info {};
    ASSERT_EQ(::stat(net().originalPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    const OriginalDNS original = net().loadOriginalDNS();
    EXPECT_EQ(original, (OriginalDNS{{"wifi-id", {"192.168.1.1"}}, {"eth-id", {}}}));

    state_->dns["wifi-id"] = {{"ServerAddresses", std::vector<std::string>{"8.8.8.8"}}};
    EXPECT_EQ(logOf([&] { net().saveOriginalDNS(); }), "");
    EXPECT_EQ(net().loadOriginalDNS(), original);

    net().setDNSMode(DNSMode::original, "x");
    EXPECT_EQ(servers("wifi-id"), std::vector<std::string>{"192.168.1.1"});
    EXPECT_FALSE(state_->dns["eth-id"].contains("ServerAddresses"));
}

// --- the record file ---------------------------------------------------------

// --- the proxy rules ---------------------------------------------------------

Dictionary ourProxy(bool http, bool https) {
    return {{"HTTPEnable", std::int64_t{http}},       {"HTTPProxy", std::string("127.0.0.1")},
            {"HTTPPort", std::int64_t{8080}},         {"HTTPSEnable", std::int64_t{https}},
            {"HTTPSProxy", std::string("127.0.0.1")}, {"HTTPSPort", std::int64_t{8080}}};
}

TEST_F(NetConfigTest, ProxyOnWritesTheFullSetAndKeepsUnknownKeys) {
    state_->services = {{"wifi-id", "Wi-Fi", true}};
    state_->proxies["wifi-id"] = {{"system/proxy/socks:host", std::string("'s.example'")}};
    const std::string log =
        logOf([&] { EXPECT_TRUE(net().setSystemProxy("Proxy del filtro encendido", "r", true)); });
    EXPECT_EQ(messagesOf(log), std::vector<std::string>{"Proxy del filtro encendido en Wi-Fi (r)"});
    Dictionary expected = ourProxy(true, true);
    expected["ExceptionsList"] =
        std::vector<std::string>{"*.local", "169.254/16", "localhost", "127.0.0.1"};
    expected["system/proxy/socks:host"] = std::string("'s.example'");
    EXPECT_EQ(state_->proxies["wifi-id"], expected);
    EXPECT_EQ(net().statusLines()[0], "Wi-Fi: DNS 192.168.1.1 · 127.0.0.1:8080");
}

// Ours half on is completed or turned off whole; anyone else's proxy, or none
// at all, is left as it is.
TEST_F(NetConfigTest, OnlyOurOwnProxyIsTurnedOnOrOff) {
    const Dictionary users{{"HTTPSEnable", std::int64_t{1}},
                           {"HTTPSProxy", std::string("proxy.corp")},
                           {"HTTPSPort", std::int64_t{3128}}};
    const Dictionary usersHttp{{"HTTPEnable", std::int64_t{1}},
                               {"HTTPProxy", std::string("proxy.corp")},
                               {"HTTPPort", std::int64_t{3128}}};
    struct Row {
        const char* what;
        std::optional<Dictionary> before;
        bool on;
        bool changed;
        std::optional<Dictionary> after;
    };
    Dictionary offWhole = ourProxy(false, false);
    const Row rows[] = {
        {"half ours, on", ourProxy(true, false), true, true, ourProxy(true, true)},
        {"half ours, off", ourProxy(true, false), false, true, offWhole},
        {"the user's, on", users, true, false, users},
        {"the user's, off", users, false, false, users},
        {"the user's plain HTTP one, on", usersHttp, true, false, usersHttp},
        {"none, off", std::nullopt, false, false, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        state_->services = {{"wifi-id", "Wi-Fi", true}};
        state_->proxies.erase("wifi-id");
        if (row.before) {
            state_->proxies["wifi-id"] = *row.before;
        }
        const int commits = state_->commits;
        EXPECT_EQ(net().setSystemProxy("x", "r", row.on), row.changed);
        EXPECT_EQ(state_->commits > commits, row.changed);
        if (row.after) {
            Dictionary got = state_->proxies["wifi-id"];
            got.erase("ExceptionsList");
            EXPECT_EQ(got, *row.after);
        } else {
            EXPECT_FALSE(state_->proxies.contains("wifi-id"));
        }
    }
    state_->proxies["wifi-id"] = users;
    EXPECT_EQ(net().statusLines()[0], "Wi-Fi: DNS 192.168.1.1 · proxy.corp:3128");
}

}  // namespace
}  // namespace tranca
