// The pure rules: the state from the observations, where a block leads, the
// tray menu and the own page's address.
#include "app/core/status_menu.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

Protection decide(bool installed, bool answered, bool outdated, bool resolves,
                  std::vector<QStringList> lists, bool primaryKnown = true) {
    return decideProtection(
        {installed, answered, outdated, resolves, {std::move(lists), primaryKnown}});
}

TEST(StateDecision, FollowsTheObservations) {
    using enum Protection;
    const QStringList filter{"127.0.0.1"}, other{"192.0.2.1"};
    const QStringList backup{"1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"};
    const QStringList swapped = backup.mid(1, 1) + backup.mid(0, 1) + backup.mid(2);
    // decide(installed, answered, outdated, resolves via the filter, servers, primary known)
    EXPECT_EQ(decide(false, true, false, true, {filter}), notInstalled) << "job file missing";
    EXPECT_EQ(decide(true, true, false, true, {other}), active) << "resolver through the filter";
    EXPECT_EQ(decide(true, true, false, false, {filter}), active) << "primary on the filter";
    EXPECT_EQ(decide(true, true, false, false, {filter + other}), notUsed) << "filter first of two";
    EXPECT_EQ(decide(true, true, false, false, {filter}, false), notUsed) << "no primary known";
    EXPECT_EQ(decide(true, true, false, false, {}), notUsed) << "no services at all";
    EXPECT_EQ(decide(true, true, true, true, {filter}), notUsed) << "outdated daemon";
    EXPECT_EQ(decide(true, false, false, false, {filter}), offline) << "silent, DNS still on it";
    EXPECT_EQ(decide(true, false, false, false, {backup, filter}, false), offline)
        << "one service on the silent filter beats a backup one";
    EXPECT_EQ(decide(true, false, false, false, {backup}), fallback) << "backup resolvers";
    EXPECT_EQ(decide(true, false, false, false, {swapped}), off) << "backup in another order";
    EXPECT_EQ(decide(true, false, false, false, {backup.mid(0, 2)}), off) << "IPv4 half of it";
    EXPECT_EQ(decide(true, false, false, false, {{}}), off) << "service without DNS settings";
}

TEST(BlockDestinationRule, ReadsTheRedirectLine) {
    using enum BlockDestination;
    const QString stop = QString::fromLatin1(kStopPageUrl.data(), kStopPageUrl.size());
    // {fault, page on block, redirect line, destination, page opened ("": none)}
    const std::tuple<const char*, bool, std::optional<QString>, BlockDestination, QString> rows[] =
        {
            {"switch off ignores redirect.txt", false, "local", nothing, ""},
            {"no line is the stop page", true, std::nullopt, amparo, stop},
            {"local in capitals", true, "LOCAL", included, "http://127.0.0.1/"},
            {"the stop page written out", true, stop, amparo, stop},
            {"own page over http", true, "http://a.example/x", custom, "http://a.example/x"},
            {"scheme prefix is case-sensitive", true, "Https://a.example", amparo, stop},
            {"anything else is the stop page", true, "ftp://x.example", amparo, stop},
            {"custom line that is no URL opens nothing", true, "https://", custom, ""},
        };
    for (const auto& [fault, opens, line, destination, url] : rows) {
        EXPECT_EQ(blockDestinationFor(opens, line), destination) << fault;
        EXPECT_EQ(blockPageUrl(destination, line).value_or(QUrl()).toString(), url) << fault;
    }
}

TEST(StatusMenu, OffersTheOneActionThatFitsTheState) {
    using enum Protection;
    // {state, outdated, the rows up to the fixed ones, "|" between them}
    const std::tuple<Protection, bool, QString> rows[] = {
        {checking, false, "Revisando…"},
        {notInstalled, false, "Protección sin activar|Activar protección…"},
        {active, true, "Protección activa|Desactivar protección…|Actualizar Amparo…"},
        {fallback, false, "Protección de respaldo|Reactivar Amparo…"},
        {offline, true,
         "Sin internet: el filtro no responde|Recuperar internet…|Actualizar "
         "Amparo…"},
        {notUsed, true, "El equipo no usa el filtro|Reparar…"},  // repair covers the update
        {off, false, "Protección desactivada|Activar protección…"},
    };
    for (const auto& [protection, outdated, top] : rows) {
        const auto menu =
            statusMenuRows(testing::snapshotOf(protection, protection != notInstalled, outdated));
        QStringList texts;
        for (const MenuRow& item : menu) {
            texts << (item.isSeparator() ? QStringLiteral("—") : item.text);
        }
        QStringList expected = top.split(u'|');
        expected.insert(1, "—");
        expected.insert(2, "Abrir Amparo");
        expected << "—"
                 << "Buscar actualizaciones…"
                 << "Donar…"
                 << "Salir de Amparo";
        EXPECT_EQ(texts, expected);
        EXPECT_FALSE(menu.front().enabled) << "the state line is no action";
    }
    EXPECT_EQ(trayTooltip(testing::snapshotOf(notUsed)), "Amparo · El equipo no usa el filtro");
}

TEST(StatusMenu, ShowsTheChangeDueFirstWithItsCancel) {
    ProtectionSnapshot snapshot = testing::snapshotOf(Protection::active);
    snapshot.pending = {{"2", PendingAction::sites, 7200, 2, ""},
                        {"1", PendingAction::deactivate, 800, std::nullopt, "sin permiso"}};
    const auto menu = statusMenuRows(snapshot);
    QStringList texts;
    for (const MenuRow& item : menu) {
        texts << (item.isSeparator() ? QStringLiteral("—") : item.text);
    }
    EXPECT_EQ(menu[5].command, Command::cancelPending);
    // Deactivating again is no choice while it waits to happen.
    EXPECT_EQ(texts.join(u'|'),
              "Protección activa|Se desactivará en 14 min|No se pudo desactivar: sin permiso|—|"
              "Abrir Amparo|Cancelar el cambio pendiente|—|Buscar actualizaciones…|Donar…|"
              "Salir de Amparo");
    EXPECT_EQ(trayTooltip(snapshot), "Amparo · Protección activa\nSe desactivará en 14 min");
}

TEST(AddressRule, AcceptsOnlyAWholeWebAddress) {
    const std::tuple<const char*, QString, std::optional<QString>> rows[] = {
        {"blanks kept", " \thttps://a.example/ayuda \t", QStringLiteral("https://a.example/ayuda")},
        {"plain http refused", "http://a.example", QStringLiteral("http://a.example")},
        {"a bare domain taken", "a.example", std::nullopt},
        {"another scheme taken", "ftp://a.example", std::nullopt},
        {"a scheme in capitals taken", "HTTPS://a.example", std::nullopt},
        {"the scheme alone taken", "https://", std::nullopt},
        {"a line break written into redirect.txt", "https://a.example/\nlocal", std::nullopt},
        {"a Unicode line separator", QStringLiteral("https://a.example/\u2028x"), std::nullopt},
    };
    for (const auto& [fault, typed, accepted] : rows) {
        EXPECT_EQ(acceptableAddress(typed), accepted) << fault;
    }
}

}  // namespace
}  // namespace amparo
