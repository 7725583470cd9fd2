#include "app/core/probe.h"

#include <QFileInfo>
#include <algorithm>

#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"
#include "contract/notices.h"
#include "contract/wait_protocol.h"

namespace amparo {

namespace {

std::optional<QString> firstEntry(const QString& path) {
    const QStringList entries = readListFile(path);
    return entries.isEmpty() ? std::nullopt : std::optional<QString>(entries.front());
}

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

}  // namespace

Prober::Prober(ProbeSettings settings, ServersSource servers, Resolver resolve)
    : settings_(std::move(settings)), servers_(std::move(servers)), resolve_(std::move(resolve)) {}

bool Prober::daemonIsOutdated() {
    if (settings_.daemonCopy.isEmpty()) {
        return false;
    }
    const QString stamp =
        fileStamp(settings_.installedDaemon) + QLatin1Char('|') + fileStamp(settings_.daemonCopy);
    if (stamp == daemonStamp_) {
        return daemonOutdated_;
    }
    daemonStamp_ = stamp;
    // No code signatures here: the digests of the two programs decide.
    const auto installed = fileDigest(settings_.installedDaemon);
    const auto copy = fileDigest(settings_.daemonCopy);
    daemonOutdated_ = installed.has_value() != copy.has_value() || installed != copy;
    return daemonOutdated_;
}

qint64 Prober::countListEntries() {
    const QString stamp =
        fileStamp(settings_.blocklist) + QLatin1Char('|') + fileStamp(settings_.customList);
    if (stamp == listStamp_) {
        return listCount_;
    }
    listStamp_ = stamp;
    listCount_ = countBlockedSites(settings_.blocklist, settings_.customList);
    return listCount_;
}

ProtectionSnapshot Prober::gather() {
    ProtectionSnapshot snapshot;
    StateInputs inputs;
    snapshot.installed = inputs.installed = QFileInfo::exists(settings_.daemonJobFile);
    snapshot.contentFilter = QFileInfo::exists(settings_.proxyJobFile);
    snapshot.mitmAvailable =
        std::any_of(settings_.proxyTools.begin(), settings_.proxyTools.end(), isExecutableFile);
    if (!snapshot.installed) {
        servers_();  // read as always; the state does not depend on it
        snapshot.protection = Protection::notInstalled;
        return snapshot;
    }
    snapshot.outdated = inputs.outdated = daemonIsOutdated();
    snapshot.listCount = countListEntries();
    const QFileInfo list(settings_.blocklist);
    if (list.exists()) {
        snapshot.listDate = list.lastModified();
    }
    snapshot.customBlocked = readListFile(settings_.customList);
    snapshot.allowed = readListFile(settings_.allowList);
    snapshot.redirectLine = firstEntry(settings_.redirectFile);
    // Whether or not it filters, the daemon may hold changes that wait.
    const auto reply =
        askWaitSocket(settings_.waitSocket, wait::kListCommand, settings_.probeTimeout);
    if (const auto parsed = reply ? parseWaitReply(*reply) : std::nullopt) {
        snapshot.waitSeconds = parsed->waitSeconds;
        snapshot.pending = parsed->pending;
    }
    // Asked only of a daemon that just answered: a silent one costs one wait.
    if (reply) {
        const auto notices =
            askWaitSocket(settings_.waitSocket, notices::kNoticesCommand, settings_.probeTimeout);
        snapshot.notices = notices ? parseNoticesReply(*notices) : std::nullopt;
    }
    inputs.probeAnswered = probeDaemon(settings_.dnsPort, settings_.probeTimeout);
    if (inputs.probeAnswered) {
        snapshot.dnsLocked = probeDaemon(53, settings_.probeTimeout, kLockProbeAddress);
    }
    if (inputs.probeAnswered && !inputs.outdated) {
        const auto addresses = resolve_(qtext(kStatusName));
        inputs.systemResolvesThroughFilter =
            addresses && *addresses == QStringList{qtext(kStatusAddress)};
    }
    inputs.serviceServers = servers_();
    snapshot.protection = decideProtection(inputs);
    return snapshot;
}

}  // namespace amparo
