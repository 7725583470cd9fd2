#include "daemon/system/dns_lock.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>

namespace tranca {
namespace {

const DnsLockAddresses kAddresses{.backupV4 = {"1.1.1.3", "1.0.0.3"},
                                  .backupV6 = {"2606:4700:4700::1113"},
                                  .resolverV4 = {"8.8.8.8", "9.9.9.9"},
                                  .resolverV6 = {"2001:4860:4860::8888"}};

constexpr std::string_view kNoNamespace = "(sin espacio de red propio)";

// Runs body in a child in a private network namespace, so the kernel and
// libnftables judge the rules without touching this machine; what body
// listed, or why it failed.
std::string inPrivateNetwork(const std::function<std::optional<std::string>()>& body) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        if (::unshare(CLONE_NEWNET) != 0) {
            ::_exit(2);
        }
        const std::optional<std::string> listed = body();
        const std::string text = listed.value_or("no se pudo");
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(listed ? 0 : 1);
    }
    ::close(out[1]);
    std::string listed;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        listed.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WEXITSTATUS(status) == 2) {
        return std::string(kNoNamespace);
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << listed;
    return listed;
}

std::string appliedInPrivateNetwork(LockMode mode) {
    return inPrivateNetwork([mode]() -> std::optional<std::string> {
        const auto filter = platform::systemPacketFilter();
        if (!filter) {
            return std::nullopt;
        }
        if (!filter->run(dnsLockRules(mode, kAddresses, 5353))) {
            return filter->lastError();
        }
        return filter->run("list ruleset");
    });
}

TEST(DnsLock, RulesRedirectOrRefuseEverythingButTheFilterAndItsFallback) {
    const struct {
        LockMode mode;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    } rows[] = {
        {LockMode::local,
         {"udp dport 53 redirect to :5353", "tcp dport 53 redirect to :5353",
          "meta mark 0x0000414d return", "meta l4proto { tcp, udp } th dport 853 reject",
          "@resolvers4", "@resolvers6",
          "ip6 daddr != ::1 meta l4proto { tcp, udp } th dport 53 reject"},
         {"1.1.1.3"}},
        {LockMode::respaldo,
         {"ip daddr { 1.1.1.3, 1.0.0.3 } meta l4proto { tcp, udp } th dport 53 accept",
          "ip6 daddr 2606:4700:4700::1113", "meta l4proto { tcp, udp } th dport 853 reject",
          "ip daddr != 127.0.0.0/8 meta l4proto { tcp, udp } th dport 53 reject"},
         {"redirect"}},
    };
    for (const auto& row : rows) {
        const std::string rules = dnsLockRules(row.mode, kAddresses, 5353);
        for (const std::string& part : row.present) {
            EXPECT_NE(rules.find(part), std::string::npos) << part << "\n" << rules;
        }
        for (const std::string& part : row.absent) {
            EXPECT_EQ(rules.find(part), std::string::npos) << part << "\n" << rules;
        }
        // Accepted by the kernel, and once only: a second apply replaces.
        if (::geteuid() == 0) {
            const std::string listed = appliedInPrivateNetwork(row.mode);
            EXPECT_NE(listed.find("table inet amparo"), std::string::npos) << listed;
        }
    }
}

// The self-check's keep puts back a table changed by hand.
TEST(DnsLock, KeepPutsBackATableChangedByHand) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    const std::string listed = inPrivateNetwork([]() -> std::optional<std::string> {
        auto filter = platform::systemPacketFilter();
        const auto hand = platform::systemPacketFilter();
        if (!filter || !hand) {
            return std::nullopt;
        }
        DnsLock lock(std::move(filter), 5353, kAddresses);
        if (!lock.apply(LockMode::local) || !hand->run("add chain inet amparo a_mano")) {
            return std::nullopt;
        }
        lock.keep(LockMode::local);
        return hand->run("list ruleset");
    });
    if (listed == kNoNamespace) {
        GTEST_SKIP() << listed;
    }
    EXPECT_EQ(listed.find("a_mano"), std::string::npos) << listed;
    EXPECT_NE(listed.find("th dport 853 reject"), std::string::npos) << listed;
}

}  // namespace
}  // namespace tranca
