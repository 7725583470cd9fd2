// Gathers, without any privilege, the facts a snapshot is made of: installed
// files, the user's lists, whether the daemon answers on the loopback, whether
// the machine resolves through it, and the DNS servers of its network
// services. Only reads; every failure degrades to a neutral value.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/gatherer.h"
#include "app/core/snapshot.h"

namespace tranca::platform {
class NetworkStore;
}

namespace amparo {

// Where the facts are. The product uses product(); tests point elsewhere.
struct ProbeSettings {
    QString daemonJobFile;
    QString proxyJobFile;
    QStringList proxyTools;
    QString installedDaemon;
    QString blocklist;
    QString customList;
    QString allowList;
    QString redirectFile;
    // The trancad carried beside Amparo's executable; empty when unknown.
    QString daemonCopy;
    // The daemon's socket for the wait before loosening.
    QString waitSocket;
    quint16 dnsPort = 53;
    std::chrono::milliseconds probeTimeout{700};

    static ProbeSettings product(const QString& applicationDirectory);
};

// The entries of a list file: lines trimmed of spaces, tabs and carriage
// returns, without empty and "#" lines, in file order. Missing, unreadable,
// non-regular or oversized files give no entries.
QStringList readListFile(const QString& path);

// The bytes of a list file of the user's (custom, allow, redirect): none when
// it is missing, unreadable, not a regular file or beyond any real list.
std::optional<std::string> readUserListBytes(const QString& path);

// Calls take(entry) for each entry of list text, without copying.
void forEachListEntry(std::string_view text, const std::function<void(std::string_view)>& take);

// "<size>-<modification time>", "0-0" for what cannot be read: equal stamps
// mean the file was not touched.
QString fileStamp(const QString& path);

// True when something on 127.0.0.1:port answers the status query with its ID
// within the timeout.
bool probeDaemon(quint16 port, std::chrono::milliseconds timeout, quint32 address = 0x7f000001);

// An address no resolver answers on (TEST-NET-1, documentation only): the
// status name asked there is answered only when the DNS lock takes every
// program's DNS to the filter, which an ordinary user can observe.
inline constexpr quint32 kLockProbeAddress = 0xc0000235;  // 192.0.2.53

// The IPv4 addresses the system resolver gives for a name; none on failure.
std::optional<QStringList> resolveWithSystem(const QString& name);

// The DNS servers of a store's services: the primary service's list alone
// when the store names one, else every enabled service's list.
ServiceServers readServiceServers(tranca::platform::NetworkStore& store);
// The same for this machine's store, read-only; empty when it cannot be opened.
ServiceServers systemServiceServers();

// The product's gatherer: this machine as an ordinary user can see it.
class Prober : public Gatherer {
  public:
    using ServersSource = std::function<ServiceServers()>;
    using Resolver = std::function<std::optional<QStringList>(const QString&)>;

    explicit Prober(ProbeSettings settings, ServersSource servers = systemServiceServers,
                    Resolver resolve = resolveWithSystem);

    ProtectionSnapshot gather() override;

    // Cached on the files' stamps: the digest and the count are computed only
    // when a file changed.
    bool daemonIsOutdated();
    qint64 countListEntries();

  private:
    ProbeSettings settings_;
    ServersSource servers_;
    Resolver resolve_;
    QString daemonStamp_;
    bool daemonOutdated_ = false;
    QString listStamp_;
    qint64 listCount_ = 0;
};

}  // namespace amparo
