#include "app/core/probe_settings.h"

#include "app/core/os_table.h"
#include "app/core/text.h"
#include "contract/wait_protocol.h"

namespace amparo {

ProbeSettings ProbeSettings::product(const QString& applicationDirectory) {
    const auto& table = os::kCurrent;
    const QString data = qtext(table.paths.dataDirectory) + QLatin1Char('/');
    ProbeSettings settings;
    settings.daemonJobFile = qtext(table.paths.daemonJobFile);
    settings.proxyJobFile = qtext(table.paths.proxyJobFile);
    for (const std::string_view tool : table.proxyTools) {
        settings.proxyTools << qtext(tool);
    }
    settings.installedDaemon = data + QStringLiteral("trancad");
    settings.blocklist = data + QStringLiteral("blocklist.txt");
    settings.customList = data + QStringLiteral("custom.txt");
    settings.allowList = data + QStringLiteral("allow.txt");
    settings.redirectFile = data + QStringLiteral("redirect.txt");
    settings.waitSocket = qtext(wait::kSocketPath);
    if (!applicationDirectory.isEmpty()) {
        settings.daemonCopy = applicationDirectory + QStringLiteral("/trancad");
    }
    return settings;
}

}  // namespace amparo
