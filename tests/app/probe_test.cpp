#include "app/core/probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <thread>

#include "tests/support/memory_store.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::Scratch;
using testing::writeFile;

// One loopback UDP socket answering a single query the way it is told to.
class Responder {
  public:
    enum class Reply { nameError, otherId, elevenBytes, silence };

    explicit Responder(Reply reply) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, reply] { answer(reply); });
    }
    ~Responder() {
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(fd_);
    }
    quint16 port() const { return port_; }
    // The query it got; it answers one, so this waits for that.
    const QByteArray& query() {
        thread_.join();
        return query_;
    }

  private:
    void answer(Reply reply) {
        char buffer[512];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got =
            ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got <= 0) {
            return;
        }
        query_ = QByteArray(buffer, got);
        QByteArray out = query_;
        out[2] = char(0x81);
        out[3] = char(0x83);  // response, RCODE 3
        if (reply == Reply::otherId) {
            out[1] = char(out[1] ^ 0x5a);
        } else if (reply == Reply::elevenBytes) {
            out.truncate(11);
        } else if (reply == Reply::silence) {
            return;
        }
        ::sendto(fd_, out.constData(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
    }

    int fd_ = -1;
    quint16 port_ = 0;
    QByteArray query_;
    std::thread thread_;
};

TEST(DaemonProbe, CountsOnlyAReplyWithTheQueryId) {
    struct Row {
        const char* fault;
        Responder::Reply reply;
        bool answered;
    };
    const Row rows[] = {
        {"an error reply still proves the daemon answers", Responder::Reply::nameError, true},
        {"a reply to someone else's query", Responder::Reply::otherId, false},
        {"a reply shorter than a header", Responder::Reply::elevenBytes, false},
        {"no reply at all", Responder::Reply::silence, false},
    };
    for (const Row& row : rows) {
        Responder responder(row.reply);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(probeDaemon(responder.port(), 700ms), row.answered) << row.fault;
        EXPECT_LT(clock.elapsed(), 5000) << row.fault;
        if (row.reply == Responder::Reply::silence) {
            EXPECT_GE(clock.elapsed(), 650) << "gave up before the timeout";
        }
        // The status question, recursion desired and nothing else.
        const QByteArray query = responder.query();
        ASSERT_EQ(query.size(), 40) << row.fault;
        EXPECT_EQ(query.mid(2, 10), QByteArray("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10));
        EXPECT_EQ(query.mid(12), QByteArray("\x06"
                                            "estado\x06"
                                            "amparo\x08"
                                            "internal\x00\x00\x01\x00\x01",
                                            28));
    }
}

TEST(ListReader, KeepsOnlyEntries) {
    Scratch scratch;
    struct Row {
        const char* fault;
        QByteArray text;
        QStringList entries;
    };
    const Row rows[] = {
        {"Windows line ends left a carriage return",
         "a.example\r\n\r\n# nota\r\nb.example\r\n",
         {"a.example", "b.example"}},
        {"blanks around entries, blank lines", "  a.example\t\n\t\n   \n", {"a.example"}},
        {"a byte-order mark glued to the first entry",
         "\xEF\xBB\xBF"
         "a.example\n",
         {"a.example"}},
        {"comment only after blanks is still a comment", "   # nota\nb.example", {"b.example"}},
        {"duplicates and case are kept as written",
         "A.example\na.example\nA.example\n",
         {"A.example", "a.example", "A.example"}},
        {"invalid UTF-8 is repaired, not dropped",
         "ca\xff"
         "fe.example\n",
         {QStringLiteral("ca\uFFFDfe.example")}},
    };
    for (const Row& row : rows) {
        writeFile(scratch.path("lista.txt"), row.text);
        EXPECT_EQ(readListFile(scratch.path("lista.txt")), row.entries) << row.fault;
    }
    // Neither may stall the gathering thread.
    ASSERT_EQ(::mkfifo(QFile::encodeName(scratch.path("fifo")).constData(), 0644), 0);
    EXPECT_TRUE(readListFile(scratch.path("fifo")).isEmpty());
    EXPECT_TRUE(readListFile(scratch.path()).isEmpty());
    EXPECT_TRUE(readListFile(scratch.path("no-existe")).isEmpty());
}

// Installed files of a machine, in a scratch directory.
struct Installation {
    Scratch scratch;
    ProbeSettings settings;

    Installation() {
        settings.daemonJobFile = scratch.path("tranca.service");
        settings.proxyJobFile = scratch.path("tranca-proxy.service");
        settings.proxyTools = {scratch.path("no/mitmdump"), scratch.path("bin/mitmdump")};
        settings.installedDaemon = scratch.path("datos/trancad");
        settings.blocklist = scratch.path("datos/blocklist.txt");
        settings.customList = scratch.path("datos/custom.txt");
        settings.allowList = scratch.path("datos/allow.txt");
        settings.redirectFile = scratch.path("datos/redirect.txt");
        settings.daemonCopy = scratch.path("app/trancad");
        settings.dnsPort = 9;  // nothing answers there
        settings.probeTimeout = 50ms;
    }
};

// Keeps size and modification time, so only the contents change.
void rewriteKeepingStamp(const QString& path, const QByteArray& bytes) {
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    writeFile(path, bytes);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

TEST(ProbeCaches, CountDistinctEntriesOnlyWhenAFileChanged) {
    Installation machine;
    Prober prober(machine.settings, [] { return ServiceServers{}; });
    writeFile(machine.settings.blocklist, "# lista\n0.0.0.0 a.example\nb.example\nc.example\n");
    writeFile(machine.settings.customList, "c.example\nd.example\n");
    EXPECT_EQ(prober.countListEntries(), 4) << "an entry in both lists counts once";

    rewriteKeepingStamp(machine.settings.customList, "e.example\nf.example\n");
    EXPECT_EQ(prober.countListEntries(), 4) << "unchanged stamps must not re-read";

    writeFile(machine.settings.customList, "e.example\nf.example\ng.example\n");
    EXPECT_EQ(prober.countListEntries(), 6);
}

TEST(ProbeCaches, DaemonDigestsDecideOutdated) {
    Installation machine;
    Prober prober(machine.settings, [] { return ServiceServers{}; });
    EXPECT_FALSE(prober.daemonIsOutdated()) << "neither program readable";
    writeFile(machine.settings.installedDaemon, "programa v1", 0755);
    EXPECT_TRUE(prober.daemonIsOutdated()) << "copy beside the app missing";
    writeFile(machine.settings.daemonCopy, "programa v1", 0755);
    EXPECT_FALSE(prober.daemonIsOutdated());
    rewriteKeepingStamp(machine.settings.daemonCopy, "programa v2");
    EXPECT_FALSE(prober.daemonIsOutdated()) << "unchanged stamps must not re-hash";
    writeFile(machine.settings.daemonCopy, "programa v2 nuevo", 0755);
    EXPECT_TRUE(prober.daemonIsOutdated());
}

TEST(Gathering, ReadsTheInstallationAndDecides) {
    Installation machine;
    int serverReads = 0;
    QStringList asked;
    Prober prober(
        machine.settings,
        [&serverReads] {
            ++serverReads;
            return ServiceServers{.lists = {{"127.0.0.1"}}, .primaryKnown = true};
        },
        [&asked](const QString& name) {
            asked << name;
            return std::optional<QStringList>(QStringList{"127.0.0.2"});
        });

    ProtectionSnapshot fresh = prober.gatherSnapshot();
    EXPECT_EQ(fresh.protection, Protection::notInstalled);
    EXPECT_EQ(serverReads, 1) << "the servers are read even when not installed";

    writeFile(machine.settings.daemonJobFile, "[Unit]\n");
    writeFile(machine.settings.proxyTools[1], "#!/bin/sh\n", 0755);
    writeFile(machine.settings.blocklist, "a.example\n");
    writeFile(machine.settings.customList, "# mío\nmio.example\n");
    writeFile(machine.settings.allowList, "permitido.example\n");
    writeFile(machine.settings.redirectFile, "# destino\n\nlocal\nhttps://x.example\n");
    const ProtectionSnapshot installed = prober.gatherSnapshot();
    EXPECT_EQ(installed.protection, Protection::offline) << "nothing answers on the port";
    EXPECT_TRUE(installed.mitmAvailable);
    EXPECT_FALSE(installed.contentFilter);
    EXPECT_EQ(installed.listCount, 2);
    EXPECT_TRUE(installed.listDate.has_value());
    EXPECT_EQ(installed.customBlocked, QStringList{"mio.example"});
    EXPECT_EQ(installed.allowed, QStringList{"permitido.example"});
    EXPECT_EQ(installed.redirectLine, QStringLiteral("local"));
    EXPECT_TRUE(asked.isEmpty()) << "the resolver is asked only when the daemon answered";

    Responder responder(Responder::Reply::nameError);
    machine.settings.dnsPort = responder.port();
    machine.settings.probeTimeout = 700ms;
    writeFile(machine.settings.installedDaemon, "igual", 0755);
    writeFile(machine.settings.daemonCopy, "igual", 0755);
    Prober answering(
        machine.settings, [] { return ServiceServers{}; },
        [&asked](const QString& name) {
            asked << name;
            return std::optional<QStringList>(QStringList{"127.0.0.2"});
        });
    EXPECT_EQ(answering.gatherSnapshot().protection, Protection::active);
    EXPECT_EQ(asked, QStringList{"estado.amparo.internal"});
}

TEST(ServiceServersReading, PrimaryServiceAloneElseEveryEnabledOne) {
    using tranca::testing::MemoryStore;
    using tranca::testing::StoreState;
    auto state = std::make_shared<StoreState>();
    state->services = {{"wifi", "Wi-Fi", true}, {"eth", "Ethernet", true}, {"off", "", false}};
    state->dns["wifi"] = {{"ServerAddresses", std::vector<std::string>{"192.0.2.1"}}};
    state->dns["off"] = {{"ServerAddresses", std::vector<std::string>{"10.0.0.1"}}};
    MemoryStore store(state);

    const ServiceServers all = readServiceServers(store);
    EXPECT_FALSE(all.primaryKnown);
    ASSERT_EQ(all.lists.size(), 2u) << "disabled services do not count";
    EXPECT_EQ(all.lists[0], QStringList{"192.0.2.1"});
    EXPECT_TRUE(all.lists[1].isEmpty()) << "a service without DNS gives an empty list";

    state->primary = "eth";
    const ServiceServers primary = readServiceServers(store);
    EXPECT_TRUE(primary.primaryKnown);
    ASSERT_EQ(primary.lists.size(), 1u);
    EXPECT_TRUE(primary.lists[0].isEmpty());
}

}  // namespace
}  // namespace amparo
