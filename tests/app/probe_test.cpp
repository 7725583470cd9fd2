#include "app/core/probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <thread>

#include "tests/support/fake_wait_socket.h"
#include "tests/support/memory_store.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::writeFile;

// A loopback UDP socket that answers one query as it is told: with the
// query's header turned into a reply (RCODE 3), another id, 11 bytes, or not.
class Responder {
  public:
    enum class Reply { nameError, otherId, elevenBytes, silence };

    explicit Responder(Reply reply) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this, reply, size]() mutable {
            char buffer[512];
            sockaddr from{};
            const ssize_t got = ::recvfrom(fd_, buffer, sizeof buffer, 0, &from, &size);
            query_ = QByteArray(buffer, std::max<ssize_t>(got, 0));
            QByteArray out = query_ + QByteArray(12, '\0');
            out[1] = char(out[1] ^ (reply == Reply::otherId ? 0x5a : 0));
            out[2] = char(0x81);
            out[3] = char(0x83);
            out.truncate(reply == Reply::elevenBytes ? 11 : query_.size());
            if (got > 0 && reply != Reply::silence) {
                ::sendto(fd_, out.constData(), out.size(), 0, &from, size);
            }
        });
    }
    ~Responder() {
        ::shutdown(fd_, SHUT_RDWR);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(fd_);
    }
    // The query it got; it answers one, so this waits for that.
    QByteArray query() {
        thread_.join();
        return query_;
    }

    quint16 port = 0;

  private:
    int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QByteArray query_;
    std::thread thread_;
};

TEST(DaemonProbe, CountsOnlyAReplyWithTheQueryId) {
    using enum Responder::Reply;
    // The status question, recursion desired and nothing else.
    const QByteArray question(
        "\x01\0\0\x01\0\0\0\0\0\0\x06"
        "estado\x06"
        "amparo\x08"
        "internal\0\0\x01\0\x01",
        38);
    for (const auto& [fault, reply, answered] :
         {std::tuple{"an error reply still proves the daemon answers", nameError, true},
          std::tuple{"a reply to someone else's query", otherId, false},
          std::tuple{"a reply shorter than a header", elevenBytes, false},
          std::tuple{"no reply at all", silence, false}}) {
        Responder responder(reply);
        QElapsedTimer clock;
        clock.start();
        EXPECT_EQ(probeDaemon(responder.port, 700ms), answered) << fault;
        EXPECT_LT(clock.elapsed(), 5000) << fault;
        EXPECT_TRUE(reply != silence || clock.elapsed() >= 650) << "gave up before the timeout";
        EXPECT_EQ(responder.query().mid(2), question) << fault;
    }
}

TEST(ListReader, KeepsOnlyEntries) {
    testing::Scratch scratch;
    const std::tuple<const char*, QByteArray, QString> rows[] = {
        // entries: "|" between
        {"Windows line ends left a carriage return", "a.example\r\n\r\n# c\r\nb.example\r\n",
         "a.example|b.example"},
        {"blanks around entries, blank lines", "  a.example\t\n\t\n   \n", "a.example"},
        {"a byte-order mark glued to the first entry", "\xEF\xBB\xBFz.example\n", "z.example"},
        {"a byte-order mark before a comment", "\xEF\xBB\xBF# nota\nb.example\n", "b.example"},
        {"a comment after blanks is still a comment", "   # nota\nb.example", "b.example"},
        {"duplicates and case are kept as written", "A.example\na.example\nA.example\n",
         "A.example|a.example|A.example"},
        {"invalid UTF-8 is repaired, not dropped", "ca\xffpe.example\n",
         QStringLiteral("ca\uFFFDpe.example")},
    };
    for (const auto& [fault, text, entries] : rows) {
        writeFile(scratch.path("lista.txt"), text);
        EXPECT_EQ(readListFile(scratch.path("lista.txt")).join(u'|'), entries) << fault;
    }
    // None may stall the gathering thread.
    ASSERT_EQ(::mkfifo(QFile::encodeName(scratch.path("fifo")).constData(), 0644), 0);
    for (const QString& path : {scratch.path("fifo"), scratch.path(), scratch.path("no-existe")}) {
        EXPECT_TRUE(readListFile(path).isEmpty()) << path.toStdString();
    }
}

// Installed files of a machine, in a scratch directory.
struct Installation {
    testing::Scratch scratch;
    ProbeSettings settings{
        .daemonJobFile = scratch.path("tranca.service"),
        .proxyJobFile = scratch.path("tranca-proxy.service"),
        .proxyTools = {scratch.path("no/mitmdump"), scratch.path("bin/mitmdump")},
        .installedDaemon = scratch.path("datos/trancad"),
        .blocklist = scratch.path("datos/blocklist.txt"),
        .customList = scratch.path("datos/custom.txt"),
        .allowList = scratch.path("datos/allow.txt"),
        .redirectFile = scratch.path("datos/redirect.txt"),
        .daemonCopy = scratch.path("app/trancad"),
        .waitSocket = scratch.path("espera.sock"),  // nothing listens there
        .dnsPort = 9,                               // nothing answers there
        .probeTimeout = 50ms};
};

TEST(Gathering, ReadsTheInstallationAndDecides) {
    Installation machine;
    ProbeSettings& files = machine.settings;
    int serverReads = 0;
    QStringList asked, serverList{"127.0.0.1"}, statusAnswer{"127.0.0.2"};
    const auto servers = [&] {
        ++serverReads;
        return ServiceServers{.lists = {serverList}, .primaryKnown = true};
    };
    const auto resolve = [&](const QString& name) {
        asked << name;
        return std::optional<QStringList>(statusAnswer);
    };
    EXPECT_EQ(Prober(files, servers, resolve).gather().protection, Protection::notInstalled);
    EXPECT_EQ(serverReads, 1) << "the servers are read even when not installed";

    writeFile(files.daemonJobFile, "[Unit]\n");
    writeFile(files.proxyTools[1], "#!/bin/sh\n", 0755);
    writeFile(files.blocklist, "a.example\n");
    writeFile(files.customList, "# mío\nmio.example\n");
    writeFile(files.allowList, "permitido.example\n");
    writeFile(files.redirectFile, "# destino\n\nlocal\nhttps://x.example\n");
    const ProtectionSnapshot installed = Prober(files, servers, resolve).gather();
    EXPECT_EQ(installed.protection, Protection::offline) << "nothing answers on the port";
    EXPECT_TRUE(installed.mitmAvailable);
    EXPECT_FALSE(installed.contentFilter);
    EXPECT_EQ(installed.listCount, 2);
    EXPECT_TRUE(installed.listDate.has_value());
    EXPECT_EQ(installed.customBlocked, QStringList{"mio.example"});
    EXPECT_EQ(installed.allowed, QStringList{"permitido.example"});
    EXPECT_EQ(installed.redirectLine, QStringLiteral("local"));
    EXPECT_TRUE(asked.isEmpty()) << "the resolver is asked only when the daemon answered";
    EXPECT_FALSE(installed.waitSeconds) << "no wait socket: the wait is unknown";

    Responder responder(Responder::Reply::nameError);
    files.dnsPort = responder.port;
    files.probeTimeout = 700ms;
    writeFile(files.installedDaemon, "igual", 0755);
    writeFile(files.daemonCopy, "igual", 0755);
    testing::FakeWaitSocket waits("espera 300\npendiente 4 desinstalar 90 -\nfin\n");
    files.waitSocket = waits.path();
    const ProtectionSnapshot answering = Prober(files, servers, resolve).gather();
    EXPECT_EQ(answering.protection, Protection::active);
    EXPECT_EQ(asked, QStringList{"estado.amparo.internal"});
    EXPECT_EQ(waits.received(), "lista");
    EXPECT_EQ(answering.waitSeconds, 300);
    EXPECT_EQ(answering.pending,
              (std::vector<PendingChange>{{"4", PendingAction::uninstall, 90, std::nullopt, ""}}));

    // With another DNS set, only the status name's answer tells.
    serverList = {"192.0.2.1"};
    const auto answeringAgain = [&] {
        Responder again(Responder::Reply::nameError);
        files.dnsPort = again.port;
        return Prober(files, servers, resolve).gather().protection;
    };
    EXPECT_EQ(answeringAgain(), Protection::active) << "answered as only the filter answers it";
    statusAnswer = {"192.0.2.9"};
    EXPECT_EQ(answeringAgain(), Protection::notUsed) << "answered by some other DNS";
}

TEST(ServiceServersReading, PrimaryServiceAloneElseEveryEnabledOne) {
    auto state = std::make_shared<tranca::testing::StoreState>();
    state->services = {{"wifi", "Wi-Fi", true}, {"eth", "Ethernet", true}, {"off", "", false}};
    state->dns["wifi"] = {{"ServerAddresses", std::vector<std::string>{"192.0.2.1"}}};
    state->dns["off"] = {{"ServerAddresses", std::vector<std::string>{"10.0.0.1"}}};
    tranca::testing::MemoryStore store(state);
    const ServiceServers all = readServiceServers(store);
    EXPECT_FALSE(all.primaryKnown);
    EXPECT_EQ(all.lists, (std::vector<QStringList>{{"192.0.2.1"}, {}}))
        << "disabled services do not count; one without DNS gives an empty list";
    state->primary = "eth";
    const ServiceServers primary = readServiceServers(store);
    EXPECT_TRUE(primary.primaryKnown);
    EXPECT_EQ(primary.lists, std::vector<QStringList>{{}});
}

}  // namespace
}  // namespace amparo
