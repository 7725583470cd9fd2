// What Amparo observes of the filter, condensed into one immutable value, and
// the pure rules derived from it: the protection state and where a block
// leads.
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <string_view>
#include <vector>

#include "contract/filter.h"

namespace amparo {
Q_NAMESPACE

enum class Protection { checking, notInstalled, active, fallback, offline, notUsed, off };
Q_ENUM_NS(Protection)

enum class BlockDestination { amparo = 0, included = 1, custom = 2, nothing = 3 };
Q_ENUM_NS(BlockDestination)

inline constexpr BlockDestination kAllBlockDestinations[] = {
    BlockDestination::amparo, BlockDestination::included, BlockDestination::custom,
    BlockDestination::nothing};

// The words shared with trancad (contract/filter.h), under the names the app
// has always used.
inline constexpr std::string_view kStopPageUrl = contract::kStopPageUrl;
inline constexpr std::string_view kIncludedPageUrl = "http://127.0.0.1/";
inline constexpr std::string_view kStatusName = contract::kStatusName;
inline constexpr std::string_view kStatusAddress = contract::kStatusAddress;
inline constexpr std::string_view kFilterServer = "127.0.0.1";
inline constexpr const auto& kBackupServers = contract::kBackupServers;

// A loosening change the daemon holds until the wait the user chose is over.
enum class PendingAction {
    deactivate,
    uninstall,
    keywordFilterOff,
    sites,
    shortenWait,
    trustedPerson
};

struct PendingChange {
    QString id;
    PendingAction action = PendingAction::deactivate;
    qint64 secondsLeft = 0;
    // The new wait in seconds for shortenWait, the number of site changes for
    // sites; none for the others.
    std::optional<qint64> value;
    // Why carrying it out failed; empty while nothing failed.
    QString failure;

    bool operator==(const PendingChange&) const = default;
};

// How the daemon reaches the trusted person's mail server.
enum class MailSecurity { starttls, tls, none };

// The person told when the protection gets worse, as the daemon reports it:
// never the password.
struct TrustedPerson {
    QString address;
    QString server;
    int port = 587;
    MailSecurity security = MailSecurity::starttls;
    // Empty: the server takes mail without a login.
    QString user;

    bool operator==(const TrustedPerson&) const = default;
};

struct NoticesState {
    std::optional<TrustedPerson> person;
    qint64 unsent = 0;
    // Why the oldest unsent notice failed; empty when none did.
    QString fault;

    bool operator==(const NoticesState&) const = default;
};

struct ProtectionSnapshot {
    Q_GADGET
    Q_PROPERTY(amparo::Protection protection MEMBER protection)
    Q_PROPERTY(bool installed MEMBER installed)
    Q_PROPERTY(bool outdated MEMBER outdated)
    Q_PROPERTY(bool contentFilter MEMBER contentFilter)
    Q_PROPERTY(bool mitmAvailable MEMBER mitmAvailable)
    Q_PROPERTY(bool dnsLocked MEMBER dnsLocked)
    Q_PROPERTY(qint64 listCount MEMBER listCount)
    Q_PROPERTY(QStringList customBlocked MEMBER customBlocked)
    Q_PROPERTY(QStringList allowed MEMBER allowed)

  public:
    Protection protection = Protection::checking;
    bool installed = false;
    bool outdated = false;
    bool contentFilter = false;
    bool mitmAvailable = false;
    // DNS sent to another resolver reaches the filter (the packet filter's lock).
    bool dnsLocked = false;
    qint64 listCount = 0;
    std::optional<QDateTime> listDate;
    QStringList customBlocked;
    QStringList allowed;
    std::optional<QString> redirectLine;
    // The chosen wait before loosening; unknown while the daemon does not say.
    std::optional<qint64> waitSeconds;
    std::vector<PendingChange> pending;
    // The trusted person and the notices not yet sent; unknown while the
    // daemon does not say.
    std::optional<NoticesState> notices;

    bool operator==(const ProtectionSnapshot&) const = default;
};

// The DNS server lists of the machine's network services: either the primary
// service's list alone, or every enabled service's list in service order.
struct ServiceServers {
    std::vector<QStringList> lists;
    bool primaryKnown = false;
};

struct StateInputs {
    bool installed = false;
    bool probeAnswered = false;
    bool outdated = false;
    bool systemResolvesThroughFilter = false;
    ServiceServers serviceServers;
};

bool isFilterList(const QStringList& servers);
bool isBackupList(const QStringList& servers);

Protection decideProtection(const StateInputs& inputs);

BlockDestination blockDestinationFor(bool opensHelpPage,
                                     const std::optional<QString>& redirectLine);

// The page a detected block opens; none for "nothing" or a custom line that
// does not parse as a URL.
std::optional<QUrl> blockPageUrl(BlockDestination destination,
                                 const std::optional<QString>& redirectLine);

// The snapshot as JSON, for tools and tests ("protection" by case name).
QJsonObject toJson(const ProtectionSnapshot& snapshot);
QString protectionName(Protection protection);

}  // namespace amparo

Q_DECLARE_METATYPE(amparo::ProtectionSnapshot)
