#include "daemon/system/dns_lock.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tranca {
namespace {

const DnsLockAddresses kAddresses{.backupV4 = {"1.1.1.3", "1.0.0.3"},
                                  .backupV6 = {"2606:4700:4700::1113"},
                                  .resolverV4 = {"8.8.8.8", "9.9.9.9"},
                                  .resolverV6 = {"2001:4860:4860::8888"}};

// Applies and lists the table in a private network namespace of a child, so
// the kernel and libnftables judge the text without touching this machine.
std::string appliedInPrivateNetwork(LockMode mode) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        auto filter = platform::systemPacketFilter();
        if (::unshare(CLONE_NEWNET) != 0 || !filter) {
            ::_exit(2);
        }
        const bool applied = filter->run(dnsLockRules(mode, kAddresses, 5353)).has_value();
        const std::string listed =
            applied ? filter->run("list ruleset").value_or("") : filter->lastError();
        (void)!::write(out[1], listed.data(), listed.size());
        ::_exit(applied ? 0 : 1);
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
        return "(sin espacio de red propio)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << listed;
    return listed;
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

}  // namespace
}  // namespace tranca
