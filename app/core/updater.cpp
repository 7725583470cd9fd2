#include "app/core/updater.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>
#include <QXmlStreamReader>
#include <utility>

namespace amparo {

namespace {

constexpr QStringView kSparkleNamespace = u"http://www.andymatuschak.org/xml-namespaces/sparkle";
// Longer than any real version; it bounds what the dialog may show.
constexpr qsizetype kMaxVersionLength = 64;

QString fromView(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Takes the text up to the next dot; a missing or empty segment is 0.
QStringView takeSegment(QStringView& rest) {
    const qsizetype dot = rest.indexOf(u'.');
    const QStringView segment = dot < 0 ? rest : rest.first(dot);
    rest = dot < 0 ? QStringView() : rest.sliced(dot + 1);
    return segment.isEmpty() ? QStringView(u"0") : segment;
}

// Takes the leading run of digits, or of anything else.
QStringView takeRun(QStringView& rest) {
    const bool digits = isDigit(rest.front());
    qsizetype length = 1;
    while (length < rest.size() && isDigit(rest[length]) == digits) {
        ++length;
    }
    const QStringView run = rest.first(length);
    rest = rest.sliced(length);
    return run;
}

// By value, without overflowing on absurdly long numbers.
int compareNumbers(QStringView a, QStringView b) {
    while (a.size() > 1 && a.front() == u'0') {
        a = a.sliced(1);
    }
    while (b.size() > 1 && b.front() == u'0') {
        b = b.sliced(1);
    }
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    return sign(a.compare(b));
}

int compareSegments(QStringView a, QStringView b) {
    while (!a.isEmpty() && !b.isEmpty()) {
        const QStringView runA = takeRun(a);
        const QStringView runB = takeRun(b);
        const bool digitsA = isDigit(runA.front());
        const bool digitsB = isDigit(runB.front());
        if (digitsA != digitsB) {
            return digitsA ? 1 : -1;
        }
        const int order =
            digitsA ? compareNumbers(runA, runB) : sign(runA.compare(runB, Qt::CaseInsensitive));
        if (order != 0) {
            return order;
        }
    }
    if (a.isEmpty() == b.isEmpty()) {
        return 0;
    }
    // One segment goes on: more digits make it newer ("1a2" > "1a"),
    // letters make it a pre-release of the shorter one ("2rc1" < "2").
    const QStringView longer = a.isEmpty() ? b : a;
    const int longerIsNewer = isDigit(longer.front()) ? 1 : -1;
    return a.isEmpty() ? -longerIsNewer : longerIsNewer;
}

// What a dialog may show and a comparison may read: no markup, no controls.
bool isPlainVersion(QStringView version) {
    if (version.isEmpty() || version.size() > kMaxVersionLength) {
        return false;
    }
    for (const QChar c : version) {
        if (!c.isLetterOrNumber() && !QStringView(u" .-_+~()").contains(c)) {
            return false;
        }
    }
    return true;
}

struct RawItem {
    QString version;
    QString shortVersion;
    QString link;
    QString releaseNotes;
    QString channel;
    QString enclosureUrl;
    QString enclosureVersion;
    QString enclosureShortVersion;
};

bool isSparkle(const QXmlStreamReader& xml, QStringView name) {
    return xml.namespaceUri() == kSparkleNamespace && xml.name() == name;
}

bool isRss(const QXmlStreamReader& xml, QStringView name) {
    return xml.namespaceUri().isEmpty() && xml.name() == name;
}

QString elementText(QXmlStreamReader& xml) {
    return xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed();
}

// The reader stands on <item> and is left on </item>.
RawItem readItem(QXmlStreamReader& xml) {
    RawItem item;
    while (xml.readNextStartElement()) {
        if (isSparkle(xml, u"version")) {
            item.version = elementText(xml);
        } else if (isSparkle(xml, u"shortVersionString")) {
            item.shortVersion = elementText(xml);
        } else if (isSparkle(xml, u"releaseNotesLink")) {
            item.releaseNotes = elementText(xml);
        } else if (isSparkle(xml, u"channel")) {
            item.channel = elementText(xml);
        } else if (isRss(xml, u"link")) {
            item.link = elementText(xml);
        } else if (isRss(xml, u"enclosure")) {
            const QXmlStreamAttributes attributes = xml.attributes();
            const QString sparkle = kSparkleNamespace.toString();
            item.enclosureUrl = attributes.value(QLatin1StringView("url")).trimmed().toString();
            item.enclosureVersion =
                attributes.value(sparkle, QLatin1StringView("version")).trimmed().toString();
            item.enclosureShortVersion =
                attributes.value(sparkle, QLatin1StringView("shortVersionString"))
                    .trimmed()
                    .toString();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    return item;
}

std::optional<AppcastItem> usableItem(const RawItem& raw) {
    // Sparkle offers channel items only to those who opted in; Amparo has no
    // such option, so betas stay with their testers.
    if (!raw.channel.isEmpty()) {
        return std::nullopt;
    }
    AppcastItem item;
    item.version = raw.version.isEmpty() ? raw.enclosureVersion : raw.version;
    if (!isPlainVersion(item.version)) {
        return std::nullopt;
    }
    const QString& shortVersion =
        raw.shortVersion.isEmpty() ? raw.enclosureShortVersion : raw.shortVersion;
    item.displayVersion = isPlainVersion(shortVersion) ? shortVersion : item.version;
    item.downloadPage = QUrl(raw.link.isEmpty() ? raw.enclosureUrl : raw.link, QUrl::StrictMode);
    if (!isAcceptableWebUrl(item.downloadPage)) {
        return std::nullopt;
    }
    // Notes are a courtesy: a bad link loses the notes, not the update.
    const QUrl notes(raw.releaseNotes, QUrl::StrictMode);
    if (isAcceptableWebUrl(notes)) {
        item.releaseNotes = notes;
    }
    return item;
}

UpdateStatus statusFor(QNetworkReply::NetworkError error) {
    switch (error) {
        case QNetworkReply::TimeoutError:
            return UpdateStatus::timedOut;
        case QNetworkReply::TooManyRedirectsError:
        case QNetworkReply::InsecureRedirectError:
            return UpdateStatus::badFeed;
        default:
            break;
    }
    // Network and proxy failures come before the content errors: the server
    // was never reached. From there on it answered, but not with the feed.
    return error < QNetworkReply::ContentAccessDenied ? UpdateStatus::noNetwork
                                                      : UpdateStatus::badFeed;
}

}  // namespace

int compareVersions(QStringView a, QStringView b) {
    a = a.trimmed();
    b = b.trimmed();
    while (!a.isEmpty() || !b.isEmpty()) {
        const int order = compareSegments(takeSegment(a), takeSegment(b));
        if (order != 0) {
            return order;
        }
    }
    return 0;
}

bool isAcceptableWebUrl(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty()) {
        return false;
    }
    if (url.scheme() == u"https") {
        return true;
    }
    return url.scheme() == u"http" &&
           (url.host() == u"localhost" || QHostAddress(url.host()).isLoopback());
}

std::optional<AppcastItem> newestItem(QByteArrayView bytes) {
    if (bytes.size() > kMaxFeedBytes) {
        return std::nullopt;
    }
    QXmlStreamReader xml(QByteArray::fromRawData(bytes.data(), bytes.size()));
    if (!xml.readNextStartElement() || !isRss(xml, u"rss")) {
        return std::nullopt;
    }
    std::optional<AppcastItem> newest;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement() || !isRss(xml, u"item")) {
            continue;
        }
        std::optional<AppcastItem> item = usableItem(readItem(xml));
        if (item && (!newest || compareVersions(item->version, newest->version) > 0)) {
            newest = std::move(item);
        }
    }
    // A truncated feed may have lost its newest item: all or nothing.
    if (xml.hasError()) {
        return std::nullopt;
    }
    return newest;
}

UpdateCheck evaluateFeed(QByteArrayView xml, const QString& currentVersion) {
    UpdateCheck result;
    result.currentVersion = currentVersion;
    result.newest = newestItem(xml);
    if (!result.newest) {
        result.status = UpdateStatus::badFeed;
        result.detail = QStringLiteral("the feed has no usable item");
    } else if (compareVersions(result.newest->version, currentVersion) > 0) {
        result.status = UpdateStatus::newer;
    } else {
        result.status = UpdateStatus::upToDate;
    }
    return result;
}

UpdateMessage describe(const UpdateCheck& check) {
    const QString notChecked = QStringLiteral("No se pudo buscar actualizaciones");
    switch (check.status) {
        case UpdateStatus::newer:
            return {QStringLiteral("Hay una versión nueva de Amparo"),
                    QStringLiteral("La versión %1 está disponible. ¿Abrís la página para "
                                   "descargarla?")
                        .arg(check.newest ? check.newest->displayVersion : QString())};
        case UpdateStatus::upToDate:
            return {QStringLiteral("Amparo está al día"),
                    QStringLiteral("Ya tenés la última versión (%1).").arg(check.currentVersion)};
        case UpdateStatus::noNetwork:
            return {notChecked,
                    QStringLiteral("Sin conexión con el servidor de actualizaciones. Revisá tu "
                                   "conexión a internet y volvé a intentarlo.")};
        case UpdateStatus::timedOut:
            return {notChecked, QStringLiteral("El servidor de actualizaciones tardó demasiado en "
                                               "responder. Volvé a intentarlo en un rato.")};
        case UpdateStatus::badFeed:
            return {notChecked,
                    QStringLiteral("El servidor de actualizaciones respondió algo que Amparo no "
                                   "entiende. Volvé a intentarlo en un rato.")};
    }
    return {notChecked, {}};
}

void tellUpdateCheck(const UpdateCheck& check, Dialogs& dialogs, Desktop& desktop) {
    const UpdateMessage message = describe(check);
    switch (check.status) {
        case UpdateStatus::newer:
            if (check.newest) {
                if (dialogs.inform(message.title, message.text,
                                   QStringLiteral("Abrir la página"))) {
                    desktop.openUrl(check.newest->downloadPage);
                }
                return;
            }
            [[fallthrough]];
        case UpdateStatus::upToDate:
            dialogs.inform(message.title, message.text, {});
            return;
        case UpdateStatus::noNetwork:
        case UpdateStatus::timedOut:
        case UpdateStatus::badFeed:
            break;
    }
    dialogs.showFailure(message.title, message.text);
}

Updater::Updater(QString currentVersion, QObject* parent)
    : QObject(parent),
      currentVersion_(currentVersion.isEmpty() ? QCoreApplication::applicationVersion()
                                               : std::move(currentVersion)),
      network_(new QNetworkAccessManager(this)),
      deadline_(new QTimer(this)) {
    deadline_->setSingleShot(true);
    connect(deadline_, &QTimer::timeout, this, [this] {
        conclude(UpdateStatus::timedOut, QStringLiteral("no complete answer in time"));
    });
}

Updater::~Updater() {
    if (reply_ != nullptr) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void Updater::setTimeout(std::chrono::milliseconds timeout) {
    timeout_ = timeout;
}

void Updater::setFeedUrl(QUrl url) {
    feedUrl_ = std::move(url);
}

QUrl Updater::feedUrl() const {
    if (isAcceptableWebUrl(feedUrl_)) {
        return feedUrl_;
    }
    const QString override = QSettings().value(fromView(kFeedOverrideKey)).toString().trimmed();
    const QUrl overrideUrl(override, QUrl::StrictMode);
    return isAcceptableWebUrl(overrideUrl) ? overrideUrl : QUrl(fromView(kAppcastUrl));
}

bool Updater::check() {
    if (reply_ != nullptr) {
        return false;
    }
    QNetworkRequest request(feedUrl());
    request.setMaximumRedirectsAllowed(kMaxFeedRedirects);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Amparo/%1").arg(currentVersion_));
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::finished, this, &Updater::onReplyFinished);
    connect(reply_, &QNetworkReply::downloadProgress, this, &Updater::onProgress);
    // The declared length settles it before a byte of the body arrives.
    connect(reply_, &QNetworkReply::metaDataChanged, this, [this] {
        const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
        onProgress(0, length.isValid() ? length.toLongLong() : -1);
    });
    deadline_->start(timeout_);
    return true;
}

bool Updater::isChecking() const {
    return reply_ != nullptr;
}

void Updater::onProgress(qint64 received, qint64 total) {
    if (received > kMaxFeedBytes || total > kMaxFeedBytes) {
        conclude(UpdateStatus::badFeed, QStringLiteral("the feed is too large"));
    }
}

void Updater::onReplyFinished() {
    const QNetworkReply::NetworkError error = reply_->error();
    if (error != QNetworkReply::NoError) {
        conclude(statusFor(error), reply_->errorString());
        return;
    }
    conclude(evaluateFeed(reply_->readAll(), currentVersion_));
}

void Updater::conclude(UpdateStatus status, const QString& detail) {
    UpdateCheck result;
    result.status = status;
    result.currentVersion = currentVersion_;
    result.detail = detail;
    conclude(std::move(result));
}

void Updater::conclude(UpdateCheck result) {
    deadline_->stop();
    if (QNetworkReply* reply = std::exchange(reply_, nullptr)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    emit finished(result);
}

}  // namespace amparo
