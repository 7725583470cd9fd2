#include "app/core/updater.h"

#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>

#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;

const QString kRunning = QStringLiteral("0.1.0");
const QString kSite = QStringLiteral("https://www.amparo-filtro.org/descargar/");

QByteArray appcast(std::initializer_list<QByteArray> items) {
    QByteArray xml = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Amparo</title>)";
    for (const QByteArray& item : items) {
        xml += "<item><title>Amparo</title>" + item + "</item>\n";
    }
    return xml + "</channel></rss>\n";
}

QByteArray item(const QByteArray& version, const QByteArray& extra = {}) {
    return "<sparkle:version>" + version + "</sparkle:version><link>" + kSite.toUtf8() + version +
           "</link>" + extra;
}

TEST(WebUrl, HttpsAnywhereHttpOnlyOnThisMachine) {
    for (const char* good : {"https://a.example/x", "http://127.0.0.1:8080/a.xml",
                             "http://localhost/a.xml", "http://[::1]/a"}) {
        EXPECT_TRUE(isAcceptableWebUrl(QUrl(good))) << good;
    }
    for (const char* bad : {"http://a.example/", "file:///etc/passwd", "JavaScript:alert(1)",
                            "https://www.amparo-filtro.org@x.example/", "https://"}) {
        EXPECT_FALSE(isAcceptableWebUrl(QUrl(bad))) << bad;
    }
}

QByteArray sparkle(const QByteArray& tag, const QByteArray& text) {
    return "<sparkle:" + tag + ">" + text + "</sparkle:" + tag + ">";
}

TEST(AppcastFeed, TableOfFaults) {
    using enum UpdateStatus;
    const QString deb = QStringLiteral("https://www.amparo-filtro.org/amparo_0.3.0.deb");
    const QByteArray enclosure = "<enclosure url=\"" + deb.toUtf8() +
                                 "\" sparkle:version=\"0.3.0\" sparkle:shortVersionString=\"0.3\" "
                                 "length=\"1234\" type=\"application/octet-stream\"/>";
    const QByteArray feed = appcast({item("0.2.0")});
    const auto notes = [](const QByteArray& link) { return sparkle("releaseNotesLink", link); };
    // {fault, feed, status, "shown version|download page (kSite left out)|notes"}
    const std::tuple<const char*, QByteArray, UpdateStatus, QString> rows[] = {
        {"misses the newer version", feed, newer, "0.2.0|0.2.0|"},
        {"offers the same version", appcast({item("0.1.0")}), upToDate, "0.1.0|0.1.0|"},
        {"offers an older version", appcast({item("0.0.9")}), upToDate, "0.0.9|0.0.9|"},
        {"takes the first item or compares as text",
         appcast({item("0.2.0"), item("0.10.0"), item("0.9.1")}), newer, "0.10.0|0.10.0|"},
        {"ignores shortVersionString",
         appcast({item("0.2.0", sparkle("shortVersionString", "0.2"))}), newer, "0.2|0.2.0|"},
        {"ignores the enclosure's version", appcast({enclosure}), newer, "0.3|" + deb + "|"},
        {"prefers the enclosure to the link", appcast({item("0.3.0", enclosure)}), newer,
         "0.3|0.3.0|"},
        {"drops release notes", appcast({item("0.2.0", notes("https://n.example/0.2"))}), newer,
         "0.2.0|0.2.0|https://n.example/0.2"},
        {"keeps javascript release notes", appcast({item("0.2.0", notes("javascript:alert(1)"))}),
         newer, "0.2.0|0.2.0|"},
        {"shows markup as the version",
         appcast({item("0.2.0", sparkle("shortVersionString", "&lt;b&gt;9&lt;/b&gt;"))}), newer,
         "0.2.0|0.2.0|"},
        {"offers the beta channel",
         appcast({item("0.3.0", sparkle("channel", "beta")), item("0.2.0")}), newer,
         "0.2.0|0.2.0|"},
        {"offers a file link or drops the feed",
         appcast({sparkle("version", "0.3.0") + "<link>file:///etc/passwd</link>", item("0.2.0")}),
         newer, "0.2.0|0.2.0|"},
        {"offers a plain http link",
         appcast({sparkle("version", "0.2.0") + "<link>http://a.example/</link>"}), badFeed, "||"},
        {"offers an item without version", appcast({"<link>https://a.example/</link>"}), badFeed,
         "||"},
        {"accepts a feed without items", appcast({}), badFeed, "||"},
        {"accepts a truncated feed", feed.first(feed.size() - 20), badFeed, "||"},
        {"accepts an undeclared prefix", QByteArray(feed).replace("xmlns:sparkle", "xmlns:x"),
         badFeed, "||"},
        {"accepts an HTML page", QByteArray(feed).replace("<rss", "<html").replace("</rss", "</h"),
         badFeed, "||"},
        {"parses an oversized feed", feed + "<!--" + QByteArray(kMaxFeedBytes, ' ') + "-->",
         badFeed, "||"},
    };
    for (const auto& [fault, xml, status, shown] : rows) {
        const UpdateCheck result = evaluateFeed(xml, kRunning);
        EXPECT_EQ(result.status, status) << fault;
        EXPECT_EQ(result.currentVersion, kRunning) << fault;
        const AppcastItem newest = result.newest.value_or(AppcastItem{});
        const QString page = newest.downloadPage.toString();
        EXPECT_EQ(newest.displayVersion + '|' +
                      (page.startsWith(kSite) ? page.mid(kSite.size()) : page) + '|' +
                      newest.releaseNotes.toString(),
                  shown)
            << fault;
    }
}

// An HTTP server on 127.0.0.1 in this process: every request gets the same
// bytes, then a close, or nothing more, or a body that never ends. Or nobody
// listens at all.
struct FeedServer {
    enum class Answer { close, hold, endless, refused };

    FeedServer(Answer answer, QByteArray response) {
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(server.serverPort()));
        QObject::connect(&server, &QTcpServer::newConnection, [=, this] {
            QTcpSocket* socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
                if (socket->peek(64 * 1024).contains("\r\n\r\n")) {
                    socket->readAll();
                    ++requests;
                    socket->write(response);
                    if (answer == Answer::close) {
                        socket->disconnectFromHost();
                    }
                }
            });
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [=] {
                if (answer == Answer::endless && socket->bytesToWrite() < 64 * 1024) {
                    socket->write(QByteArray(64 * 1024, ' '));
                }
            });
        });
        if (answer == Answer::refused) {
            server.close();
        }
    }

    QTcpServer server;
    QUrl url;
    int requests = 0;
};

QByteArray http(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Sets the testers' feed for one test, and removes it again.
struct FeedOverride {
    explicit FeedOverride(const QString& url) { QSettings().setValue(key, url); }
    ~FeedOverride() { QSettings().remove(key); }
    const QString key = QString::fromLatin1(kFeedOverrideKey.data());
};

// The testers' feed, as the product finds it, served by the local server.
TEST(UpdaterServed, EndsEveryCheckInOneResult) {
    using enum UpdateStatus;
    using Answer = FeedServer::Answer;
    const std::tuple<const char*, Answer, QByteArray, std::chrono::milliseconds, UpdateStatus, int>
        rows[] = {
            {"misses the newer version", Answer::close, http("200 OK", appcast({item("0.2.0")})),
             5s, newer, 1},
            {"waits for a declared 5 MiB", Answer::hold,
             "HTTP/1.1 200 OK\r\nContent-Length: 5242880\r\n\r\n<rss>", 5s, badFeed, 1},
            {"reads an endless body", Answer::endless,
             "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<rss>", 5s, badFeed, 1},
            {"waits on a silent server", Answer::hold, {}, 300ms, timedOut, 1},
            {"follows a redirect loop", Answer::close,
             "HTTP/1.1 302 Found\r\nLocation: /appcast.xml\r\nContent-Length: 0\r\n\r\n", 5s,
             badFeed, 1 + kMaxFeedRedirects},
            {"reads an error page as the feed", Answer::close,
             http("404 Not Found", appcast({item("0.2.0")})), 5s, badFeed, 1},
            {"calls a refusal a bad feed", Answer::refused, {}, 5s, noNetwork, 0},
        };
    for (const auto& [fault, answer, response, timeout, status, requests] : rows) {
        SCOPED_TRACE(fault);
        FeedServer server(answer, response);
        const FeedOverride setting(server.url.toString());
        Updater updater(kRunning);
        updater.setTimeout(timeout);
        QSignalSpy results(&updater, &Updater::finished);
        ASSERT_TRUE(updater.check());
        EXPECT_FALSE(updater.check()) << "a second check while one runs";
        EXPECT_TRUE(testing::waitUntil([&] { return !results.isEmpty(); }));
        QTest::qWait(100);  // room for a stray second result
        ASSERT_EQ(results.size(), 1);
        const auto result = results[0][0].value<UpdateCheck>();
        EXPECT_EQ(result.status, status) << result.detail.toStdString();
        EXPECT_EQ(server.requests, requests);
        EXPECT_FALSE(updater.isChecking());
        EXPECT_TRUE(updater.check()) << "a finished check frees the way";
    }
}

TEST(UpdaterFeed, AnUnusableOverrideFallsBackToTheCompiledOne) {
    const QUrl compiled(QString::fromLatin1(kAppcastUrl.data()));
    for (const char* setting : {"", "http://pruebas.example/appcast.xml", "file:///tmp/a.xml"}) {
        const FeedOverride unusable{QString::fromUtf8(setting)};
        EXPECT_EQ(Updater(kRunning).feedUrl(), compiled) << setting;
    }
}

}  // namespace
}  // namespace amparo
