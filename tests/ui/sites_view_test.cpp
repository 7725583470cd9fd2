#include "app/ui/sites_view.h"

#include <QAbstractItemModelTester>

#include "tests/support/ignored_actions.h"
#include "tests/support/support.h"

namespace amparo::ui {
namespace {

TEST(NormalizedSite, KeepsTheBareDomainOfWhatWasTyped) {
    const QString longest = QString(249, u'a') + QStringLiteral(".com");
    const QString label = QString(64, u'a') + QStringLiteral(".com");
    const std::tuple<const char*, QString, std::optional<QString>> rows[] = {
        {"scheme kept", "https://ejemplo.com", "ejemplo.com"},
        {"www. kept", "www.ejemplo.com", "ejemplo.com"},
        {"capitals kept", "EjEmPlo.COM", "ejemplo.com"},
        {"path kept", "ejemplo.com/juegos/1", "ejemplo.com"},
        {"query kept", "ejemplo.com?pagina=2", "ejemplo.com"},
        {"fragment kept", "ejemplo.com#arriba", "ejemplo.com"},
        {"blanks and newline kept", " \tejemplo.com \n", "ejemplo.com"},
        {"port kept", "ejemplo.com:8080", "ejemplo.com"},
        {"mixed decorations kept", " HTTPS://WWW.Ejemplo.com:8080/a?b#c\n", "ejemplo.com"},
        {"scheme cut at its last occurrence", "http://a.com/?ir=http://b.com", "a.com"},
        {"trailing dots kept", "ejemplo.com..", "ejemplo.com"},
        {"www. removed more than once", "www.www.x.com", "www.x.com"},
        {"www. removed inside", "juegos.www.com", "juegos.www.com"},
        {"subdomain dropped", "juegos.ejemplo.com", "juegos.ejemplo.com"},
        {"trailing hyphen rejected", "ejemplo-.com", "ejemplo-.com"},
        {"single-letter top level rejected", "ejemplo.c", "ejemplo.c"},
        {"long label rejected", label, label},
        {"longest name rejected", longest, longest},
        {"length measured before cutting", "https://" + longest + "/ruta", longest},
        {"name too long accepted", "a" + longest, std::nullopt},
        {"empty accepted", "", std::nullopt},
        {"dotless name accepted", "localhost", std::nullopt},
        {"www. leaving a bare top level accepted", "www.com", std::nullopt},
        {"leading dot accepted", ".ejemplo.com", std::nullopt},
        {"leading hyphen accepted", "-ejemplo.com", std::nullopt},
        {"empty label accepted", "ejemplo..com", std::nullopt},
        {"inner blank accepted", "ejem plo.com", std::nullopt},
        {"non-ASCII letter accepted", "ñandú.com", std::nullopt},
        {"user part accepted", "usuario@ejemplo.com", std::nullopt},
    };
    for (const auto& [fault, typed, site] : rows) {
        EXPECT_EQ(normalizedSite(typed), site) << fault;
    }
}

TEST(PermitLink, YieldsOnlyTheSiteOfTheBlockPagesOwnLink) {
    const QString link = permitLink(QStringLiteral("ejemplo.com"));
    const std::tuple<const char*, QString, std::optional<QString>> rows[] = {
        {"own link refused", link, "ejemplo.com"},
        {"host not normalised", "AMPARO://permitir?sitio=WWW.Ejemplo.COM.", "ejemplo.com"},
        {"any scheme accepted", "https://permitir?sitio=ejemplo.com", std::nullopt},
        {"any action accepted", "amparo://guardar?sitio=ejemplo.com", std::nullopt},
        {"other parameter accepted", "amparo://permitir?site=ejemplo.com", std::nullopt},
        {"missing parameter accepted", "amparo://permitir", std::nullopt},
        {"second parameter dropped", link + "&sitio=otro.com", std::nullopt},
        {"escaped newline decoded", link + "%0Aotro.com", std::nullopt},
        {"path cut off", link + "/../otro", std::nullopt},
        {"over-long link accepted", link + QString(100000, u'a'), std::nullopt},
    };
    for (const auto& [fault, text, site] : rows) {
        EXPECT_EQ(permitLinkSite(text), site) << fault;
    }
}

TEST(SiteList, AddsEachSiteOnceFlagsOnlyTextThatIsNoSiteAndRemovesEveryCopy) {
    SiteListModel list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy counted(&list, &SiteListModel::countChanged);
    QSignalSpy flagged(&list, &SiteListModel::invalidChanged);
    for (const char* typed : {"Ejemplo.com", "https://www.ejemplo.com/"}) {
        list.setDraft(typed);
        list.addDraft();
        EXPECT_EQ(list.draft(), QString()) << "a duplicate must still clear the field";
    }
    EXPECT_EQ(list.items(), QStringList{"ejemplo.com"});
    EXPECT_EQ(counted.count(), 1);
    EXPECT_EQ(list.data(list.index(0), SiteListModel::SiteRole).toString(), "ejemplo.com");

    // Return on an empty field is no mistake worth a hint; a newline is typed.
    const std::pair<const char*, bool> drafts[] = {
        {"no es un sitio", true}, {"\n", true}, {" \t ", false}, {"", false}};
    for (const auto& [draft, invalid] : drafts) {
        list.setDraft("otro");
        list.setDraft(draft);
        EXPECT_EQ(list.canAdd(), invalid) << draft;
        list.addDraft();
        EXPECT_EQ(list.invalid(), invalid) << draft;
        EXPECT_EQ(list.draft(), draft) << "a rejected draft must stay for correcting";
    }
    EXPECT_EQ(list.count(), 1);
    list.setDraft("nada");
    list.addDraft();
    flagged.clear();
    list.setDraft("nada");
    EXPECT_TRUE(list.invalid()) << "setting the same text is no edit";
    list.setDraft("nada.");
    EXPECT_FALSE(list.invalid());
    EXPECT_EQ(flagged.count(), 1);

    list.setItems({"a.com", "b.com", "a.com"});
    counted.clear();
    list.removeSite("a.com");
    list.removeSite("c.com");
    EXPECT_EQ(list.items(), QStringList{"b.com"});
    EXPECT_EQ(counted.count(), 1) << "nothing removed, nothing to notify";
}

TEST(SitesSheet, PermitOffersTheSiteUnsavedOnlyOnceTheListsAreKnown) {
    ProtectionSnapshot read = testing::snapshotOf(Protection::active);
    read.allowed = {QStringLiteral("escuela.edu")};
    ProtectionModel model(gathererOf([read] { return read; }));
    testing::IgnoredActions actions;
    SitesSheet sheet(model, actions);

    sheet.permit(QStringLiteral("ejemplo.com"));
    EXPECT_FALSE(model.showSites()) << "opened on lists not read yet: saving would wipe them";
    model.refresh();
    ASSERT_TRUE(testing::waitUntil([&] { return model.showSites(); }));
    EXPECT_EQ(sheet.allowed()->items(), QStringList({"escuela.edu", "ejemplo.com"}));
    EXPECT_TRUE(sheet.hasChanges()) << "Guardar would stay off";

    sheet.permit(QStringLiteral("otro.com"));
    EXPECT_EQ(sheet.allowed()->items(), QStringList({"escuela.edu", "ejemplo.com", "otro.com"}))
        << "a second link while the sheet is open";
}

}  // namespace
}  // namespace amparo::ui
