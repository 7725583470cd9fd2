// The pure rules: the state from the observations, where a block leads, the
// tray menu, the own page's address and the capture entry.
#include <gtest/gtest.h>

#include "app/core/dialogs.h"
#include "app/core/entry.h"
#include "app/core/status_menu.h"
#include "daemon/config.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

// The app recognises the daemon's own choices; a change on one side only
// would turn every fallback into "off" and every stop page into "custom".
static_assert(kStopPageUrl == tranca::kBuiltInBlockDestination);
static_assert(kBackupServers[0] == tranca::resolvers::kCloudflareFamilyPrimary);
static_assert(kBackupServers[1] == tranca::resolvers::kCloudflareFamilySecondary);
static_assert(kBackupServers[2] == tranca::resolvers::kCloudflareFamilyPrimaryV6);
static_assert(kBackupServers[3] == tranca::resolvers::kCloudflareFamilySecondaryV6);

Protection decide(bool installed, bool answered, bool outdated, bool resolves,
                  std::vector<QStringList> lists, bool primaryKnown = true) {
    return decideProtection(
        {installed, answered, outdated, resolves, {std::move(lists), primaryKnown}});
}

TEST(StateDecision, FollowsTheObservations) {
    const QStringList filter{"127.0.0.1"}, other{"192.0.2.1"};
    const QStringList backup{"1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"};
    EXPECT_EQ(decide(false, true, false, true, {filter}), Protection::notInstalled)
        << "job file missing loses to an answering filter";
    EXPECT_EQ(decide(true, true, false, true, {other}), Protection::active)
        << "resolver through the filter";
    EXPECT_EQ(decide(true, true, false, false, {filter}), Protection::active)
        << "primary service on the filter though the resolver disagrees";
    EXPECT_EQ(decide(true, true, false, false, {filter + other}), Protection::notUsed)
        << "filter first of two servers taken for the filter";
    EXPECT_EQ(decide(true, true, false, false, {filter}, false), Protection::notUsed)
        << "all services on the filter but no primary known";
    EXPECT_EQ(decide(true, true, false, false, {}), Protection::notUsed) << "no services at all";
    EXPECT_EQ(decide(true, true, true, true, {filter}), Protection::notUsed)
        << "outdated daemon, whatever the settings";
    EXPECT_EQ(decide(true, false, false, false, {filter}), Protection::offline)
        << "silent filter, DNS still on it";
    EXPECT_EQ(decide(true, false, false, false, {backup, filter}, false), Protection::offline)
        << "one service on the silent filter beats a backup one";
    EXPECT_EQ(decide(true, false, false, false, {backup}), Protection::fallback)
        << "silent filter, backup resolvers";
    EXPECT_EQ(
        decide(true, false, false, false, {backup.mid(1, 1) + backup.mid(0, 1) + backup.mid(2)}),
        Protection::off)
        << "backup in another order";
    EXPECT_EQ(decide(true, false, false, false, {backup.mid(0, 2)}), Protection::off)
        << "only the IPv4 half of the backup";
    EXPECT_EQ(decide(true, false, false, false, {{}}), Protection::off)
        << "service without DNS configuration";
}

TEST(BlockDestinationRule, ReadsTheRedirectLine) {
    const QString stop = QString::fromLatin1(kStopPageUrl.data(), kStopPageUrl.size());
    struct Row {
        const char* fault;
        bool opens;
        std::optional<QString> line;
        BlockDestination destination;
        QString url;  // empty: none
    };
    const Row rows[] = {
        {"switch off ignores redirect.txt", false, "local", BlockDestination::nothing, ""},
        {"no line is the stop page", true, std::nullopt, BlockDestination::amparo, stop},
        {"local in capitals", true, "LOCAL", BlockDestination::included, "http://127.0.0.1/"},
        {"the stop page written out", true, stop, BlockDestination::amparo, stop},
        {"own page over http", true, "http://a.example/x", BlockDestination::custom,
         "http://a.example/x"},
        {"scheme prefix is case-sensitive", true, "Https://a.example", BlockDestination::amparo,
         stop},
        {"anything else is the stop page", true, "ftp://x.example", BlockDestination::amparo, stop},
        {"custom line that is no URL opens nothing", true, "https://", BlockDestination::custom,
         ""},
    };
    for (const Row& row : rows) {
        const BlockDestination destination = blockDestinationFor(row.opens, row.line);
        EXPECT_EQ(destination, row.destination) << row.fault;
        EXPECT_EQ(blockPageUrl(destination, row.line).value_or(QUrl()).toString(), row.url)
            << row.fault;
    }
}

TEST(StatusMenu, OffersTheOneActionThatFitsTheState) {
    struct Row {
        Protection protection;
        bool outdated;
        const char* middle;  // between "Abrir Amparo" and the fixed rows, "|" between rows
    };
    const Row rows[] = {
        {Protection::checking, false, ""},
        {Protection::notInstalled, false, "Activar protección…"},
        {Protection::active, true, "Desactivar protección…|Actualizar Amparo…"},
        {Protection::fallback, false, "Reactivar Amparo…"},
        {Protection::offline, true, "Recuperar internet…|Actualizar Amparo…"},
        {Protection::notUsed, true, "Reparar…"},  // repair covers the update
        {Protection::off, false, "Activar protección…"},
    };
    for (const Row& row : rows) {
        const auto menu = statusMenuRows(testing::snapshotOf(
            row.protection, row.protection != Protection::notInstalled, row.outdated));
        QStringList texts;
        for (const MenuRow& item : menu) {
            texts << (item.isSeparator() ? QStringLiteral("—") : item.text);
        }
        const QStringList expected =
            QStringList{statePresentation(row.protection).text, "—", "Abrir Amparo"} +
            QString::fromUtf8(row.middle).split(u'|', Qt::SkipEmptyParts) +
            QStringList{"—", "Buscar actualizaciones…", "Donar…", "Salir de Amparo"};
        EXPECT_EQ(texts, expected);
        EXPECT_FALSE(menu.front().enabled) << "the state line is no action";
    }
    // The tray test sees the common states; this one names the machine.
    EXPECT_EQ(trayTooltip(Protection::notUsed), "Amparo · El equipo no usa el filtro");
}

TEST(AddressRule, AcceptsOnlyAWholeWebAddress) {
    struct Row {
        const char* fault;
        QString typed;
        std::optional<QString> accepted;
    };
    const Row rows[] = {
        {"blanks kept", " \thttps://a.example/ayuda \t", QStringLiteral("https://a.example/ayuda")},
        {"plain http refused", "http://a.example", QStringLiteral("http://a.example")},
        {"a bare domain taken", "a.example", std::nullopt},
        {"another scheme taken", "ftp://a.example", std::nullopt},
        {"a scheme in capitals taken", "HTTPS://a.example", std::nullopt},
        {"the scheme alone taken", "https://", std::nullopt},
        {"a line break written into redirect.txt", "https://a.example/\nlocal", std::nullopt},
        {"a Unicode line separator", QStringLiteral("https://a.example/\u2028x"), std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(acceptableAddress(row.typed), row.accepted) << row.fault;
    }
}

TEST(CaptureEntry, NeedsAPathAndANumberForTheHeight) {
    EXPECT_FALSE(captureRequest({"Amparo", "--captura"})) << "a bare flag starts normally";
    const auto alone = captureRequest({"Amparo", "--captura", "/tmp/a.png"});
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->path, "/tmp/a.png");
    EXPECT_EQ(alone->state, "activa");
    EXPECT_EQ(captureRequest({"Amparo", "-x", "--captura", "/tmp/b.png", "sitios"})->state,
              "sitios");
    EXPECT_EQ(captureHeight(" 640 "), 640);
    for (const char* bad : {"", "alto", "0"}) {
        EXPECT_FALSE(captureHeight(bad)) << bad;
    }
}

}  // namespace
}  // namespace amparo
