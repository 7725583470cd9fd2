// Gathers, without any privilege, the facts a snapshot is made of: installed
// files, the user's lists, whether the daemon answers on the loopback, whether
// the machine resolves through it, and the DNS servers of its network
// services. Only reads; every failure degrades to a neutral value. Each kind
// of fact is read by a file pair of its own beside this one; this header
// includes them, so its callers reach them all through it.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "app/core/daemon_probe.h"
#include "app/core/file_stamps.h"
#include "app/core/gatherer.h"
#include "app/core/list_files.h"
#include "app/core/probe_settings.h"
#include "app/core/service_servers.h"
#include "app/core/snapshot.h"
#include "app/core/system_resolver.h"

namespace amparo {

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
