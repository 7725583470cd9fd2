#include "app/ui/content_view.h"

#include <gtest/gtest.h>

#include <QImage>

#include "app/ui/settings_section.h"
#include "tests/support/support.h"

namespace amparo::ui {
namespace {

ProtectionSnapshot snapshotOf(Protection protection, bool installed = true, bool outdated = false) {
    ProtectionSnapshot snapshot;
    snapshot.protection = protection;
    snapshot.installed = installed;
    snapshot.outdated = outdated;
    return snapshot;
}

QStringList titles(const std::vector<StatusButton>& buttons) {
    QStringList out;
    for (const StatusButton& button : buttons) {
        out << (button.primary ? "*" : "") + button.title + " → " + button.action;
    }
    return out;
}

TEST(StatusCardLook, FitsEachState) {
    struct Row {
        Protection protection;
        bool outdated;
        CardColor color;
        const char* title;
        QStringList buttons;
    };
    const Row rows[] = {
        {Protection::checking, false, CardColor::muted, "Revisando…", {}},
        {Protection::notInstalled,
         false,
         CardColor::accent,
         "Activá la protección",
         {"*Activar protección → activate"}},
        {Protection::active, false, CardColor::accent, "Protección activa", {}},
        {Protection::fallback,
         false,
         CardColor::gold,
         "Protección de respaldo",
         {"*Reactivar Amparo → activate"}},
        {Protection::offline,
         false,
         CardColor::coral,
         "El equipo se quedó sin internet",
         {"*Recuperar internet → restoreInternet", "Reactivar Amparo → activate"}},
        {Protection::offline,
         true,
         CardColor::coral,
         "El equipo se quedó sin internet",
         {"*Actualizar Amparo → activate", "Recuperar internet → restoreInternet"}},
        {Protection::notUsed,
         true,
         CardColor::gold,
         "El equipo no está usando el filtro",
         {"*Reparar → activate"}},
        {Protection::off,
         false,
         CardColor::coral,
         "Protección desactivada",
         {"*Activar protección → activate"}},
    };
    for (const Row& row : rows) {
        const StatusLook look = statusLook(row.protection);
        EXPECT_EQ(look.color, row.color) << row.title;
        EXPECT_EQ(look.title, QString::fromUtf8(row.title));
        EXPECT_EQ(titles(statusButtons(snapshotOf(row.protection, true, row.outdated))),
                  row.buttons)
            << row.title;
    }
}

TEST(UpdateCardRule, OnlyForAnInstalledOutdatedFilterThatWorks) {
    EXPECT_TRUE(showsUpdateCard(snapshotOf(Protection::active, true, true)));
    EXPECT_TRUE(showsUpdateCard(snapshotOf(Protection::checking, true, true)));
    EXPECT_FALSE(showsUpdateCard(snapshotOf(Protection::active, true, false)));
    EXPECT_FALSE(showsUpdateCard(snapshotOf(Protection::offline, true, true)))
        << "the status card's own button covers it";
    EXPECT_FALSE(showsUpdateCard(snapshotOf(Protection::notInstalled, false, true)));
}

TEST(SettingsLines, ReadInSpanish) {
    const QDateTime fifthOfDecember(QDate(2026, 12, 5), QTime(10, 0));
    EXPECT_EQ(listDetail(123456, fifthOfDecember),
              QStringLiteral("123.456 sitios · al día del 5 de diciembre"));
    EXPECT_EQ(listDetail(123456, std::nullopt), QStringLiteral("123.456 sitios"));
    EXPECT_EQ(sitesDetail(0, 0), QStringLiteral("Bloqueá o permití un sitio puntual."));
    EXPECT_EQ(sitesDetail(0, 3), QStringLiteral("3 permitidos"));
    EXPECT_EQ(sitesDetail(1, 1), QStringLiteral("1 bloqueado · 1 permitido"));
    EXPECT_EQ(sitesDetail(2, 0), QStringLiteral("2 bloqueados"));
    EXPECT_EQ(keywordDetail(false, false), QStringLiteral("Avanzado. Necesita mitmproxy (apt)."));
    EXPECT_EQ(keywordDetail(true, false), QStringLiteral("Lee el texto de las páginas. Avanzado."));
    EXPECT_EQ(destinationLabels().size(), std::size(kAllBlockDestinations));
}

TEST(Paintings, OnlyFilesThatLoadAsImagesInTableOrder) {
    testing::Scratch scratch;
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkBlue);
    ASSERT_TRUE(image.save(scratch.path("pintura-3.jpg"), "JPG"));
    ASSERT_TRUE(image.save(scratch.path("pintura-1.jpg"), "JPG"));
    testing::writeFile(scratch.path("pintura-2.jpg"), "no es una imagen");
    EXPECT_TRUE(findPaintings(scratch.path("no-existe")).empty());
    const std::vector<Painting> found = findPaintings(scratch.path());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_TRUE(found[0].path.endsWith("pintura-1.jpg"));
    EXPECT_TRUE(found[1].path.endsWith("pintura-3.jpg"));
    EXPECT_TRUE(found[1].credit.contains(QStringLiteral(" · ")));
}

}  // namespace
}  // namespace amparo::ui
