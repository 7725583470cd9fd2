#include "app/core/snapshot.h"

#include <gtest/gtest.h>

#include "daemon/config.h"

namespace amparo {
namespace {

// The app recognises the daemon's own choices; a change on one side only
// would turn every fallback into "off" and every stop page into "custom".
static_assert(kStopPageUrl == tranca::kBuiltInBlockDestination);
static_assert(kBackupServers[0] == tranca::resolvers::kCloudflareFamilyPrimary);
static_assert(kBackupServers[1] == tranca::resolvers::kCloudflareFamilySecondary);
static_assert(kBackupServers[2] == tranca::resolvers::kCloudflareFamilyPrimaryV6);
static_assert(kBackupServers[3] == tranca::resolvers::kCloudflareFamilySecondaryV6);

const QStringList kFilter{"127.0.0.1"};
const QStringList kBackup{"1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"};

struct StateRow {
    const char* fault;
    StateInputs inputs;
    Protection expected;
};

StateInputs answered(bool resolves, std::vector<QStringList> lists, bool primaryKnown = true,
                     bool outdated = false) {
    return {.installed = true,
            .probeAnswered = true,
            .outdated = outdated,
            .systemResolvesThroughFilter = resolves,
            .serviceServers = {.lists = std::move(lists), .primaryKnown = primaryKnown}};
}

StateInputs silent(std::vector<QStringList> lists, bool primaryKnown = true) {
    return {.installed = true,
            .probeAnswered = false,
            .outdated = false,
            .systemResolvesThroughFilter = false,
            .serviceServers = {.lists = std::move(lists), .primaryKnown = primaryKnown}};
}

TEST(StateDecision, FollowsTheObservations) {
    const StateRow rows[] = {
        {"job file missing wins over a filter that answers",
         {.installed = false,
          .probeAnswered = true,
          .outdated = false,
          .systemResolvesThroughFilter = true,
          .serviceServers = {{kFilter}, true}},
         Protection::notInstalled},
        {"resolver goes through the filter", answered(true, {{"192.0.2.1"}}), Protection::active},
        {"primary service on the filter though the resolver says otherwise",
         answered(false, {kFilter}), Protection::active},
        {"filter listed first of two servers is not the filter",
         answered(false, {{"127.0.0.1", "192.0.2.1"}}), Protection::notUsed},
        {"all services on the filter but no primary known", answered(false, {kFilter}, false),
         Protection::notUsed},
        {"no services at all", answered(false, {}), Protection::notUsed},
        {"outdated daemon, whatever the settings", answered(true, {kFilter}, true, true),
         Protection::notUsed},
        {"silent filter, DNS still on it", silent({kFilter}), Protection::offline},
        {"silent filter, one of several services on it beats a backup one",
         silent({kBackup, kFilter}, false), Protection::offline},
        {"silent filter, backup resolvers", silent({kBackup}), Protection::fallback},
        {"backup in another order is not the backup",
         silent({{"1.0.0.3", "1.1.1.3", "2606:4700:4700::1113", "2606:4700:4700::1003"}}),
         Protection::off},
        {"only the IPv4 half of the backup", silent({{"1.1.1.3", "1.0.0.3"}}), Protection::off},
        {"service without DNS configuration", silent({{}}), Protection::off},
    };
    for (const StateRow& row : rows) {
        EXPECT_EQ(decideProtection(row.inputs), row.expected) << row.fault;
    }
}

TEST(BlockDestinationRule, ReadsTheRedirectLine) {
    const QString stop = QString::fromLatin1(kStopPageUrl.data(), kStopPageUrl.size());
    struct Row {
        const char* fault;
        bool opens;
        std::optional<QString> line;
        BlockDestination destination;
        std::optional<QString> url;
    };
    const Row rows[] = {
        {"switch off ignores redirect.txt", false, "local", BlockDestination::nothing, {}},
        {"no line is the stop page", true, std::nullopt, BlockDestination::amparo, stop},
        {"local in capitals", true, "LOCAL", BlockDestination::included, "http://127.0.0.1/"},
        {"the stop page written out", true, stop, BlockDestination::amparo, stop},
        {"own page over http", true, "http://ayuda.example/x", BlockDestination::custom,
         "http://ayuda.example/x"},
        {"scheme prefix is case-sensitive", true, "Https://ayuda.example", BlockDestination::amparo,
         stop},
        {"anything else is the stop page", true, "ftp://x.example", BlockDestination::amparo, stop},
        {"custom line that is no URL opens nothing",
         true,
         "https://",
         BlockDestination::custom,
         {}},
    };
    for (const Row& row : rows) {
        const BlockDestination destination = blockDestinationFor(row.opens, row.line);
        EXPECT_EQ(destination, row.destination) << row.fault;
        const auto url = blockPageUrl(destination, row.line);
        EXPECT_EQ(url.has_value(), row.url.has_value()) << row.fault;
        if (url && row.url) {
            EXPECT_EQ(url->toString(), *row.url) << row.fault;
        }
    }
}

TEST(CaptureStates, ShowTheNamedState) {
    const QDateTime now = QDateTime::currentDateTime();
    struct Row {
        const char* name;
        Protection protection;
        bool installed;
        bool outdated;
    };
    const Row rows[] = {
        {"activa", Protection::active, true, false},
        {"respaldo", Protection::fallback, true, false},
        {"sin-internet", Protection::offline, true, false},
        {"sin-internet-vieja", Protection::offline, true, true},
        {"desactivada", Protection::off, true, false},
        {"no-usado", Protection::notUsed, true, false},
        {"sin-instalar", Protection::notInstalled, false, false},
        {"actualizar", Protection::active, true, true},
        {"sitios", Protection::active, true, false},
    };
    for (const Row& row : rows) {
        const ProtectionSnapshot snapshot = captureSnapshot(QString::fromLatin1(row.name), now);
        EXPECT_EQ(snapshot.protection, row.protection) << row.name;
        EXPECT_EQ(snapshot.installed, row.installed) << row.name;
        EXPECT_EQ(snapshot.outdated, row.outdated) << row.name;
        EXPECT_EQ(snapshot.listCount, 76771) << row.name;
        EXPECT_EQ(snapshot.customBlocked.size(), 2) << row.name;
    }
}

}  // namespace
}  // namespace amparo
