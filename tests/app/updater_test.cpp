#include "app/core/updater.h"

#include <gtest/gtest.h>

#include <QHostAddress>
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

TEST(VersionCompare, TableOfFaults) {
    struct Row {
        const char* fault;
        const char* a;
        const char* b;
        int expected;
    };
    const Row rows[] = {
        {"compares_as_text", "1.10", "1.9", 1},
        {"needs_equal_segment_counts", "1.0", "1", 0},
        {"ignores_last_segment", "1.0.0", "1.0.1", -1},
        {"reads_leading_zeros_as_digits", "007", "7", 0},
        {"overflows_long_numbers", "1.99999999999999999999", "1.99999999999999999998", 1},
        {"keeps_surrounding_blanks", " 1.2 ", "1.2", 0},
        {"trips_on_empty_segment", "1..2", "1.0.2", 0},
        {"ranks_release_candidate_above_release", "1.2rc1", "1.2", -1},
        {"compares_prerelease_number_as_text", "1.0rc10", "1.0rc9", 1},
        {"orders_prerelease_names_backwards", "1.0-beta", "1.0-alpha", 1},
        {"is_case_sensitive", "1.0-BETA", "1.0-beta", 0},
        {"ranks_letters_above_numbers", "1.x", "1.0", -1},
        {"drops_trailing_digits", "1.0a2", "1.0a", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        EXPECT_EQ(compareVersions(QString::fromUtf8(row.a), QString::fromUtf8(row.b)),
                  row.expected);
        EXPECT_EQ(compareVersions(QString::fromUtf8(row.b), QString::fromUtf8(row.a)),
                  -row.expected);
    }
}

TEST(AppcastFeed, TableOfFaults) {
    struct Row {
        const char* fault;
        QByteArray xml;
        UpdateStatus status;
        QString display = {};
        QString page = {};
        QString notes = {};
    };
    const QByteArray enclosure =
        R"(<enclosure url="https://www.amparo-filtro.org/amparo_0.3.0.deb" sparkle:version="0.3.0"
           sparkle:shortVersionString="0.3" length="1234" type="application/octet-stream"/>)";
    const QByteArray feed = appcast({item("0.2.0")});
    const QByteArray huge = feed + "<!--" + QByteArray(kMaxFeedBytes, ' ') + "-->";
    const Row rows[] = {
        {"misses_newer_version", feed, UpdateStatus::newer, "0.2.0", kSite + "0.2.0"},
        {"offers_same_version", appcast({item("0.1.0")}), UpdateStatus::upToDate, "0.1.0",
         kSite + "0.1.0"},
        {"offers_older_version", appcast({item("0.0.9")}), UpdateStatus::upToDate, "0.0.9",
         kSite + "0.0.9"},
        {"takes_first_item_or_compares_as_text",
         appcast({item("0.2.0"), item("0.10.0"), item("0.9.1")}), UpdateStatus::newer, "0.10.0",
         kSite + "0.10.0"},
        {"ignores_short_version_string",
         appcast({item("0.2.0", "<sparkle:shortVersionString>0.2</sparkle:shortVersionString>")}),
         UpdateStatus::newer, "0.2", kSite + "0.2.0"},
        {"ignores_enclosure_version", appcast({enclosure}), UpdateStatus::newer, "0.3",
         "https://www.amparo-filtro.org/amparo_0.3.0.deb"},
        {"prefers_enclosure_to_link", appcast({item("0.3.0", enclosure)}), UpdateStatus::newer,
         "0.3", kSite + "0.3.0"},
        {"drops_release_notes",
         appcast({item("0.2.0",
                       "<sparkle:releaseNotesLink>https://n.example/0.2"
                       "</sparkle:releaseNotesLink>")}),
         UpdateStatus::newer, "0.2.0", kSite + "0.2.0", "https://n.example/0.2"},
        {"keeps_javascript_release_notes",
         appcast({item("0.2.0",
                       "<sparkle:releaseNotesLink>javascript:alert(1)"
                       "</sparkle:releaseNotesLink>")}),
         UpdateStatus::newer, "0.2.0", kSite + "0.2.0"},
        {"shows_markup_as_version",
         appcast({item("0.2.0",
                       "<sparkle:shortVersionString>&lt;b&gt;9&lt;/b&gt;"
                       "</sparkle:shortVersionString>")}),
         UpdateStatus::newer, "0.2.0", kSite + "0.2.0"},
        {"offers_beta_channel",
         appcast({item("0.3.0", "<sparkle:channel>beta</sparkle:channel>"), item("0.2.0")}),
         UpdateStatus::newer, "0.2.0", kSite + "0.2.0"},
        {"offers_file_link_or_drops_feed",
         appcast({"<sparkle:version>0.3.0</sparkle:version><link>file:///etc/passwd</link>",
                  item("0.2.0")}),
         UpdateStatus::newer, "0.2.0", kSite + "0.2.0"},
        {"offers_javascript_link",
         appcast({"<sparkle:version>0.2.0</sparkle:version><link>JavaScript:alert(1)</link>"}),
         UpdateStatus::badFeed},
        {"offers_plain_http_link",
         appcast(
             {"<sparkle:version>0.2.0</sparkle:version><link>http://amparo-filtro.org/</link>"}),
         UpdateStatus::badFeed},
        {"offers_link_with_user_info",
         appcast({"<sparkle:version>0.2.0</sparkle:version>"
                  "<link>https://www.amparo-filtro.org@x.example/</link>"}),
         UpdateStatus::badFeed},
        {"offers_item_without_version", appcast({"<link>https://www.amparo-filtro.org/</link>"}),
         UpdateStatus::badFeed},
        {"accepts_feed_without_items", appcast({}), UpdateStatus::badFeed},
        {"accepts_truncated_feed", feed.first(feed.size() - 20), UpdateStatus::badFeed},
        {"accepts_undeclared_prefix", appcast({item("0.2.0")}).replace("xmlns:sparkle", "xmlns:x"),
         UpdateStatus::badFeed},
        {"accepts_html_page",
         appcast({item("0.2.0")}).replace("<rss", "<html").replace("</rss", "</html"),
         UpdateStatus::badFeed},
        {"parses_oversized_feed", huge, UpdateStatus::badFeed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        const UpdateCheck result = evaluateFeed(row.xml, kRunning);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.currentVersion, kRunning);
        if (row.status == UpdateStatus::badFeed) {
            EXPECT_FALSE(result.newest);
            continue;
        }
        ASSERT_TRUE(result.newest);
        EXPECT_EQ(result.newest->displayVersion, row.display);
        EXPECT_EQ(result.newest->downloadPage, QUrl(row.page));
        EXPECT_EQ(result.newest->releaseNotes, QUrl(row.notes));
    }
}

TEST(UpdaterMessages, TableOfFaults) {
    struct Row {
        const char* fault;
        UpdateStatus status;
        QString title;
        QString text;  // or a part that only this result says
    };
    const QString failed = QStringLiteral("No se pudo buscar actualizaciones");
    const Row rows[] = {
        {"shows_compared_version", UpdateStatus::newer, "Hay una versión nueva de Amparo",
         "La versión 0.2 está disponible. ¿Abrís la página para descargarla?"},
        {"shows_feed_version", UpdateStatus::upToDate, "Amparo está al día",
         "Ya tenés la última versión (0.1.0)."},
        {"hides_missing_connection", UpdateStatus::noNetwork, failed, "Sin conexión"},
        {"calls_slow_server_offline", UpdateStatus::timedOut, failed, "tardó demasiado"},
        {"calls_bad_feed_offline", UpdateStatus::badFeed, failed, "no entiende"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        UpdateCheck check;
        check.status = row.status;
        check.currentVersion = kRunning;
        check.newest = AppcastItem{"0.2.0", "0.2", {}, {}};
        const UpdateMessage message = describe(check);
        EXPECT_EQ(message.title, row.title);
        EXPECT_TRUE(message.text.contains(row.text)) << message.text.toStdString();
    }
}

// An HTTP server on 127.0.0.1 in this process. Every request gets the same
// answer: canned bytes and a close, canned bytes and then nothing, nothing at
// all, or a body that never ends. Or nobody listens at all.
class FeedServer {
  public:
    enum class Answer { close, hold, silent, endless, refused };

    FeedServer(Answer answer, QByteArray response)
        : answer_(answer), response_(std::move(response)) {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost));
        port_ = server_.serverPort();
        QObject::connect(&server_, &QTcpServer::newConnection, [this] { accept(); });
        if (answer_ == Answer::refused) {
            server_.close();
        }
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(port_)); }
    int requests() const { return requests_; }

  private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (socket->peek(64 * 1024).contains("\r\n\r\n")) {
                    socket->readAll();
                    ++requests_;
                    respond(socket);
                }
            });
        }
    }

    void respond(QTcpSocket* socket) {
        if (answer_ == Answer::close || answer_ == Answer::hold) {
            socket->write(response_);
        }
        if (answer_ == Answer::close) {
            socket->disconnectFromHost();
        }
        if (answer_ == Answer::endless) {
            socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n<rss>");
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() < 64 * 1024) {
                    socket->write(QByteArray(64 * 1024, ' '));
                }
            });
        }
    }

    Answer answer_;
    QByteArray response_;
    QTcpServer server_;
    quint16 port_ = 0;
    int requests_ = 0;
};

QByteArray http(const QByteArray& status, const QByteArray& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Runs one check; its result, or nothing when none came within the limit.
std::optional<UpdateCheck> runCheck(Updater& updater) {
    std::optional<UpdateCheck> result;
    const QMetaObject::Connection connection =
        QObject::connect(&updater, &Updater::finished, [&result](const UpdateCheck& check) {
            EXPECT_FALSE(result) << "a second result";
            result = check;
        });
    EXPECT_TRUE(updater.check());
    testing::waitUntil([&result] { return result.has_value(); }, 10s);
    QObject::disconnect(connection);
    return result;
}

TEST(UpdaterServed, TableOfFaults) {
    struct Row {
        const char* fault;
        FeedServer::Answer answer;
        QByteArray response;
        std::chrono::milliseconds timeout;
        UpdateStatus status;
        int requests;
    };
    using Answer = FeedServer::Answer;
    const QByteArray newer = appcast({item("0.2.0")});
    const Row rows[] = {
        {"misses_newer_version", Answer::close, http("200 OK", newer), 5s, UpdateStatus::newer, 1},
        {"offers_same_version", Answer::close, http("200 OK", appcast({item("0.1.0")})), 5s,
         UpdateStatus::upToDate, 1},
        {"waits_for_declared_5_MiB", Answer::hold,
         "HTTP/1.1 200 OK\r\nContent-Length: 5242880\r\n\r\n<rss>", 5s, UpdateStatus::badFeed, 1},
        {"reads_endless_body", Answer::endless, {}, 5s, UpdateStatus::badFeed, 1},
        {"waits_on_silent_server", Answer::silent, {}, 300ms, UpdateStatus::timedOut, 1},
        {"follows_redirect_loop", Answer::close,
         "HTTP/1.1 302 Found\r\nLocation: /appcast.xml\r\nContent-Length: 0\r\n\r\n", 5s,
         UpdateStatus::badFeed, 1 + kMaxFeedRedirects},
        {"reads_error_page_as_feed", Answer::close, http("404 Not Found", newer), 5s,
         UpdateStatus::badFeed, 1},
        {"calls_refusal_bad_feed", Answer::refused, {}, 5s, UpdateStatus::noNetwork, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        FeedServer server(row.answer, row.response);
        Updater updater(kRunning);
        updater.setFeedUrl(server.url());
        updater.setTimeout(row.timeout);
        const std::optional<UpdateCheck> result = runCheck(updater);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, row.status) << result->detail.toStdString();
        EXPECT_EQ(server.requests(), row.requests);
        EXPECT_FALSE(updater.isChecking());
    }
}

TEST(UpdaterServed, RunsOneCheckAtATime) {
    FeedServer server(FeedServer::Answer::silent, {});
    Updater updater(kRunning);
    updater.setFeedUrl(server.url());
    updater.setTimeout(200ms);
    int results = 0;
    QObject::connect(&updater, &Updater::finished, [&results] { ++results; });
    ASSERT_TRUE(updater.check());
    EXPECT_FALSE(updater.check());
    EXPECT_TRUE(testing::waitUntil([&results] { return results > 0; }));
    testing::waitUntil([] { return false; }, 400ms);  // room for a stray second result
    EXPECT_EQ(results, 1);
    EXPECT_EQ(server.requests(), 1);
    // A finished check frees the way, and an updater may go while one runs.
    EXPECT_TRUE(updater.check());
}

// Sets the testers' feed for one test, and removes it again.
class FeedOverride {
  public:
    explicit FeedOverride(const QString& url) {
        if (!url.isEmpty()) {
            QSettings().setValue(QString::fromLatin1(kFeedOverrideKey.data()), url);
        }
    }
    ~FeedOverride() { QSettings().remove(QString::fromLatin1(kFeedOverrideKey.data())); }
};

TEST(UpdaterFeed, TableOfFaults) {
    struct Row {
        const char* fault;
        QString setting;
        QString expected;
    };
    const QString compiled = QString::fromLatin1(kAppcastUrl.data());
    const Row rows[] = {
        {"ignores_testers_feed", "https://pruebas.example/appcast.xml",
         "https://pruebas.example/appcast.xml"},
        {"ignores_loopback_test_feed", "http://127.0.0.1:8080/a.xml",
         "http://127.0.0.1:8080/a.xml"},
        {"loses_compiled_feed_without_setting", {}, compiled},
        {"takes_plain_http_feed", "http://pruebas.example/appcast.xml", compiled},
        {"takes_file_feed", "file:///tmp/appcast.xml", compiled},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        const FeedOverride setting(row.setting);
        EXPECT_EQ(Updater(kRunning).feedUrl(), QUrl(row.expected));
    }
}

TEST(UpdaterFeed, ChecksTheTestersFeed) {
    FeedServer server(FeedServer::Answer::close, http("200 OK", appcast({item("0.2.0")})));
    const FeedOverride setting(server.url().toString());
    Updater updater(kRunning);
    const std::optional<UpdateCheck> result = runCheck(updater);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, UpdateStatus::newer);
    ASSERT_TRUE(result->newest);
    EXPECT_EQ(result->newest->downloadPage, QUrl(kSite + "0.2.0"));
    EXPECT_EQ(server.requests(), 1);
}

}  // namespace
}  // namespace amparo
