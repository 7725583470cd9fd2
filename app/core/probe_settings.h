// Where the facts Amparo observes are: the installed files, the user's lists,
// the daemon's port and its socket for the wait before loosening.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

namespace amparo {

// The product uses product(); tests point elsewhere.
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

}  // namespace amparo
