#include "app/core/snapshot.h"

#include <QJsonArray>
#include <QMetaEnum>
#include <algorithm>

#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"

namespace amparo {

bool isFilterList(const QStringList& servers) {
    return servers.size() == 1 && servers.front() == qtext(kFilterServer);
}

bool isBackupList(const QStringList& servers) {
    return std::equal(
        servers.begin(), servers.end(), std::begin(kBackupServers), std::end(kBackupServers),
        [](const QString& server, std::string_view backup) { return server == qtext(backup); });
}

Protection decideProtection(const StateInputs& inputs) {
    const auto& lists = inputs.serviceServers.lists;
    if (!inputs.installed) {
        return Protection::notInstalled;
    }
    if (!inputs.probeAnswered) {
        if (std::any_of(lists.begin(), lists.end(), isFilterList)) {
            return Protection::offline;
        }
        if (std::any_of(lists.begin(), lists.end(), isBackupList)) {
            return Protection::fallback;
        }
        return Protection::off;
    }
    if (inputs.outdated) {
        return Protection::notUsed;
    }
    if (inputs.systemResolvesThroughFilter) {
        return Protection::active;
    }
    if (!lists.empty() && std::all_of(lists.begin(), lists.end(), isFilterList) &&
        inputs.serviceServers.primaryKnown) {
        return Protection::active;
    }
    return Protection::notUsed;
}

BlockDestination blockDestinationFor(bool opensHelpPage,
                                     const std::optional<QString>& redirectLine) {
    if (!opensHelpPage) {
        return BlockDestination::nothing;
    }
    if (!redirectLine) {
        return BlockDestination::amparo;
    }
    if (redirectLine->toLower() == QLatin1String("local")) {
        return BlockDestination::included;
    }
    if (*redirectLine == qtext(kStopPageUrl)) {
        return BlockDestination::amparo;
    }
    if (redirectLine->startsWith(QLatin1String("https://")) ||
        redirectLine->startsWith(QLatin1String("http://"))) {
        return BlockDestination::custom;
    }
    return BlockDestination::amparo;
}

std::optional<QUrl> blockPageUrl(BlockDestination destination,
                                 const std::optional<QString>& redirectLine) {
    switch (destination) {
        case BlockDestination::amparo:
            return QUrl(qtext(kStopPageUrl));
        case BlockDestination::included:
            return QUrl(qtext(kIncludedPageUrl));
        case BlockDestination::custom: {
            if (!redirectLine) {
                return std::nullopt;
            }
            const QUrl url(*redirectLine, QUrl::StrictMode);
            if (!url.isValid() || url.host().isEmpty()) {
                return std::nullopt;
            }
            return url;
        }
        case BlockDestination::nothing:
            break;
    }
    return std::nullopt;
}

QString protectionName(Protection protection) {
    return QLatin1String(
        QMetaEnum::fromType<Protection>().valueToKey(static_cast<int>(protection)));
}

QJsonObject toJson(const ProtectionSnapshot& snapshot) {
    QJsonObject json{
        {QStringLiteral("protection"), protectionName(snapshot.protection)},
        {QStringLiteral("installed"), snapshot.installed},
        {QStringLiteral("outdated"), snapshot.outdated},
        {QStringLiteral("contentFilter"), snapshot.contentFilter},
        {QStringLiteral("mitmAvailable"), snapshot.mitmAvailable},
        {QStringLiteral("dnsLocked"), snapshot.dnsLocked},
        {QStringLiteral("listCount"), snapshot.listCount},
        {QStringLiteral("customBlocked"), QJsonArray::fromStringList(snapshot.customBlocked)},
        {QStringLiteral("allowed"), QJsonArray::fromStringList(snapshot.allowed)},
    };
    if (snapshot.listDate) {
        json.insert(QStringLiteral("listDate"), snapshot.listDate->toString(Qt::ISODate));
    }
    if (snapshot.redirectLine) {
        json.insert(QStringLiteral("redirectLine"), *snapshot.redirectLine);
    }
    if (snapshot.waitSeconds) {
        json.insert(QStringLiteral("waitSeconds"), *snapshot.waitSeconds);
    }
    QJsonArray pending;
    for (const PendingChange& change : snapshot.pending) {
        QJsonObject entry{{QStringLiteral("id"), change.id},
                          {QStringLiteral("action"), pendingActionWord(change.action)},
                          {QStringLiteral("secondsLeft"), change.secondsLeft}};
        if (change.value) {
            entry.insert(QStringLiteral("value"), *change.value);
        }
        if (!change.failure.isEmpty()) {
            entry.insert(QStringLiteral("failure"), change.failure);
        }
        pending.append(entry);
    }
    json.insert(QStringLiteral("pending"), pending);
    if (snapshot.notices) {
        QJsonObject notices{{QStringLiteral("unsent"), snapshot.notices->unsent}};
        if (const auto& person = snapshot.notices->person) {
            // Everything the daemon told, which never includes the password.
            notices.insert(QStringLiteral("person"),
                           QJsonObject{{QStringLiteral("address"), person->address},
                                       {QStringLiteral("server"), person->server},
                                       {QStringLiteral("port"), person->port},
                                       {QStringLiteral("security"), securityWord(person->security)},
                                       {QStringLiteral("user"), person->user}});
        }
        if (!snapshot.notices->fault.isEmpty()) {
            notices.insert(QStringLiteral("fault"), snapshot.notices->fault);
        }
        json.insert(QStringLiteral("notices"), notices);
    }
    return json;
}

}  // namespace amparo
