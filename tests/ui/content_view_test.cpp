#include "app/ui/content_view.h"

#include "app/core/state_look.h"
#include "app/core/text.h"
#include "app/ui/settings_section.h"
#include "tests/support/support.h"

namespace amparo::ui {
namespace {

using testing::snapshotOf;

TEST(StatusCard, FitsEachState) {
    using enum Protection;
    using enum StateColor;
    // {state, outdated, colour, title, buttons ("*" marks the primary one), update card}
    const std::tuple<Protection, bool, StateColor, QString, QString, bool> rows[] = {
        {checking, true, muted, "Revisando…", "", true},
        {notInstalled, false, accent, "Activá la protección", "*Activar protección → activate",
         false},
        {active, false, accent, "Protección activa", "", false},
        {active, true, accent, "Protección activa", "", true},
        {fallback, true, gold, "Protección de respaldo", "*Reactivar Amparo → activate", false},
        {offline, false, coral, "El equipo se quedó sin internet",
         "*Recuperar internet → restoreInternet|Reactivar Amparo → activate", false},
        // The status card's own button covers the update.
        {offline, true, coral, "El equipo se quedó sin internet",
         "*Actualizar Amparo → activate|Recuperar internet → restoreInternet", false},
        {notUsed, true, gold, "El equipo no está usando el filtro", "*Reparar → activate", false},
        {off, false, coral, "Protección desactivada", "*Activar protección → activate", false},
    };
    for (const auto& [protection, outdated, color, title, buttons, updateCard] : rows) {
        SCOPED_TRACE(title.toStdString());
        EXPECT_EQ(stateLook(protection).color, color);
        EXPECT_EQ(qtext(stateLook(protection).title), title);
        const ProtectionSnapshot snapshot = snapshotOf(protection, true, outdated);
        QStringList shown;
        for (const StatusButton& button : statusButtons(snapshot)) {
            shown << (button.primary ? "*" : "") + button.title + " → " +
                         commandName(button.command);
        }
        EXPECT_EQ(shown.join(u'|'), buttons);
        EXPECT_EQ(showsUpdateCard(snapshot), updateCard);
    }
    EXPECT_FALSE(showsUpdateCard(snapshotOf(active, false, true))) << "not installed";
}

TEST(SettingsLines, ReadInSpanish) {
    const QDateTime fifthOfDecember(QDate(2026, 12, 5), QTime(10, 0));
    EXPECT_EQ(listDetail(123456, fifthOfDecember), "123.456 sitios · al día del 5 de diciembre");
    EXPECT_EQ(listDetail(123456, std::nullopt), "123.456 sitios");
    EXPECT_EQ(sitesDetail(0, 0), "Bloqueá o permití un sitio puntual.");
    EXPECT_EQ(sitesDetail(0, 3), "3 permitidos");
    EXPECT_EQ(sitesDetail(1, 1), "1 bloqueado · 1 permitido");
    EXPECT_EQ(sitesDetail(2, 0), "2 bloqueados");
    EXPECT_EQ(keywordDetail(false, false), "Avanzado. Necesita mitmproxy (apt).");
    EXPECT_EQ(keywordDetail(true, false), "Lee el texto de las páginas. Avanzado.");
    // One per destination, in the order of kAllBlockDestinations: the picker's index.
    EXPECT_EQ(destinationLabels().size(), std::size(kAllBlockDestinations));
    EXPECT_EQ(destinationLabels(), (QStringList{"Página de Amparo", "Página de este equipo",
                                                "Otra página…", "No abrir nada"}));
}

}  // namespace
}  // namespace amparo::ui
