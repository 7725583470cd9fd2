// Amparo's own update check. Reads the project's appcast (Sparkle's RSS
// format), compares its newest version with the running one and says what to
// tell the person. It never downloads or runs anything: a newer version only
// yields the address of its download page, which the UI may offer to open.
#pragma once

#include <QByteArrayView>
#include <QObject>
#include <QString>
#include <QStringView>
#include <QUrl>
#include <chrono>
#include <optional>
#include <string_view>

#include "app/core/dialogs.h"

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

namespace amparo {

inline constexpr std::string_view kAppcastUrl = "https://www.amparo-filtro.org/appcast.xml";
// A QSettings string that replaces kAppcastUrl, so testers can point a
// build at a staging feed without rebuilding it.
inline constexpr std::string_view kFeedOverrideKey = "AmparoFeedPruebas";
inline constexpr std::chrono::milliseconds kUpdateTimeout = std::chrono::seconds(15);
// The real feed is a few kilobytes; anything this large is not our feed.
inline constexpr qint64 kMaxFeedBytes = 1024 * 1024;
inline constexpr int kMaxFeedRedirects = 3;

// Compares dotted versions segment by segment: < 0, 0 or > 0 as a is older,
// the same or newer than b. Numbers compare by value ("1.10" > "1.9"), a
// missing segment counts as 0 ("1.0" == "1"). Inside a segment, runs of
// digits compare by value and other runs case-insensitively; a segment that
// ends where the other goes on with letters is the newer one, so pre-releases
// sort before their release ("1.2rc1" < "1.2", "1.0-beta" < "1.0", "1.x" < "1.0").
int compareVersions(QStringView a, QStringView b);

// https anywhere, http only on this machine (a test feed); never another
// scheme, a URL without host or one with user information.
bool isAcceptableWebUrl(const QUrl& url);

struct AppcastItem {
    QString version;         // what is compared
    QString displayVersion;  // what the person sees: shortVersionString, else version
    QUrl downloadPage;       // the item's <link>, else its enclosure's url
    QUrl releaseNotes;       // empty when absent or not acceptable
};

// The newest usable item of a feed. An item is usable with a version (the
// sparkle:version element, else the enclosure's attribute) and an acceptable
// download page; items on a named channel (betas) are not for everybody and
// are passed over. Nothing when the feed is not RSS, not well formed, larger
// than kMaxFeedBytes or has no usable item.
std::optional<AppcastItem> newestItem(QByteArrayView xml);

enum class UpdateStatus { newer, upToDate, noNetwork, timedOut, badFeed };

struct UpdateCheck {
    UpdateStatus status = UpdateStatus::badFeed;
    QString currentVersion;
    std::optional<AppcastItem> newest;  // present for newer and upToDate
    QString detail;                     // what failed, for the log; never shown
};

// The verdict on a downloaded feed for the version that runs.
UpdateCheck evaluateFeed(QByteArrayView xml, const QString& currentVersion);

struct UpdateMessage {
    QString title;
    QString text;
};

// What the dialog says. For `newer` the text asks whether to open the
// download page; the other results only inform.
UpdateMessage describe(const UpdateCheck& check);

// Tells the person what a check they asked for found; a newer version's
// download page opens when they take the offer.
void tellUpdateCheck(const UpdateCheck& check, Dialogs& dialogs, Desktop& desktop);

// One check at a time against the feed, bounded in time, size and redirects.
class Updater : public QObject {
    Q_OBJECT
  public:
    // An empty currentVersion stands for QCoreApplication::applicationVersion().
    explicit Updater(QString currentVersion = {}, QObject* parent = nullptr);
    ~Updater() override;

    void setTimeout(std::chrono::milliseconds timeout);
    // Replaces the feed for this instance; the tests' local server.
    void setFeedUrl(QUrl url);
    // The first acceptable of: the set one, the QSettings override, kAppcastUrl.
    QUrl feedUrl() const;

    // Starts a check that ends in exactly one finished(); false, and nothing
    // started, while another is still running.
    bool check();
    bool isChecking() const;

  signals:
    void finished(const amparo::UpdateCheck& result);

  private:
    void onReplyFinished();
    void onProgress(qint64 received, qint64 total);
    void conclude(UpdateStatus status, const QString& detail);
    void conclude(UpdateCheck result);

    QString currentVersion_;
    std::chrono::milliseconds timeout_ = kUpdateTimeout;
    QUrl feedUrl_;
    QNetworkAccessManager* network_ = nullptr;
    QNetworkReply* reply_ = nullptr;
    QTimer* deadline_ = nullptr;
};

}  // namespace amparo
