#include "app/core/status_menu.h"

#include <gtest/gtest.h>

namespace amparo {
namespace {

QStringList texts(const std::vector<MenuRow>& rows) {
    QStringList out;
    for (const MenuRow& row : rows) {
        out << (row.isSeparator() ? QStringLiteral("—") : row.text);
    }
    return out;
}

TEST(StatusMenu, OffersTheOneActionThatFitsTheState) {
    struct Row {
        Protection protection;
        bool outdated;
        QStringList middle;  // between "Abrir Amparo" and the fixed items
    };
    const Row rows[] = {
        {Protection::checking, false, {}},
        {Protection::notInstalled, false, {"Activar protección…"}},
        {Protection::active, false, {"Desactivar protección…"}},
        {Protection::active, true, {"Desactivar protección…", "Actualizar Amparo…"}},
        {Protection::fallback, false, {"Reactivar Amparo…"}},
        {Protection::offline, true, {"Recuperar internet…", "Actualizar Amparo…"}},
        {Protection::notUsed, true, {"Reparar…"}},  // repair covers the update
        {Protection::off, false, {"Activar protección…"}},
    };
    for (const Row& row : rows) {
        ProtectionSnapshot snapshot;
        snapshot.protection = row.protection;
        snapshot.installed = row.protection != Protection::notInstalled;
        snapshot.outdated = row.outdated;
        const auto menu = statusMenuRows(snapshot);
        const QStringList expected =
            QStringList{statePresentation(row.protection).text, "—", "Abrir Amparo"} + row.middle +
            QStringList{"—", "Buscar actualizaciones…", "Donar…", "Salir de Amparo"};
        EXPECT_EQ(texts(menu), expected) << int(row.protection);
        EXPECT_FALSE(menu.front().enabled) << "the state line is no action";
    }
}

TEST(StatusMenu, TooltipNamesTheStateForThisMachine) {
    EXPECT_EQ(trayTooltip(Protection::offline),
              QStringLiteral("Amparo · Sin internet: el filtro no responde"));
    EXPECT_EQ(trayTooltip(Protection::notUsed),
              QStringLiteral("Amparo · El equipo no usa el filtro"));
    EXPECT_STREQ(statePresentation(Protection::offline).symbol, "exclamationmark.shield.fill");
}

}  // namespace
}  // namespace amparo
