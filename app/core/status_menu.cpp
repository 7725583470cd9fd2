#include "app/core/status_menu.h"

#include "app/core/state_look.h"
#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"

namespace amparo {

QString trayTooltip(const ProtectionSnapshot& snapshot) {
    QString tooltip = QStringLiteral("Amparo · ") + qtext(stateLook(snapshot.protection).panelText);
    if (const PendingChange* change = firstDue(snapshot.pending)) {
        tooltip += u'\n' + pendingLine(*change);
    }
    if (snapshot.notices && snapshot.notices->unsent > 0) {
        tooltip += u'\n' + unsentLine(snapshot.notices->unsent);
    }
    return tooltip;
}

std::vector<MenuRow> statusMenuRows(const ProtectionSnapshot& snapshot) {
    const StateLook& state = stateLook(snapshot.protection);
    const PendingChange* pending = firstDue(snapshot.pending);
    std::vector<MenuRow> rows{{qtext(state.panelText), state.panelSymbol, Command::none, false}};
    if (pending) {
        rows.push_back({pendingLine(*pending), "hourglass", Command::none, false});
        if (!pending->failure.isEmpty()) {
            rows.push_back({pendingFailureLine(*pending), nullptr, Command::none, false});
        }
    }
    rows.push_back({});
    rows.push_back({QStringLiteral("Abrir Amparo"), nullptr, Command::open});
    if (pending) {
        rows.push_back(
            {QStringLiteral("Cancelar el cambio pendiente"), nullptr, Command::cancelPending});
    }
    switch (snapshot.protection) {
        case Protection::checking:
            break;
        case Protection::notInstalled:
        case Protection::off:
            rows.push_back({QStringLiteral("Activar protección…"), nullptr, Command::activate});
            break;
        case Protection::active:
            // Asked once already: it only waits to happen.
            if (!isPending(snapshot, PendingAction::deactivate)) {
                rows.push_back(
                    {QStringLiteral("Desactivar protección…"), nullptr, Command::deactivate});
            }
            break;
        case Protection::fallback:
            rows.push_back({QStringLiteral("Reactivar Amparo…"), nullptr, Command::activate});
            break;
        case Protection::offline:
            rows.push_back(
                {QStringLiteral("Recuperar internet…"), nullptr, Command::restoreInternet});
            break;
        case Protection::notUsed:
            rows.push_back({QStringLiteral("Reparar…"), nullptr, Command::activate});
            break;
    }
    if (snapshot.installed && snapshot.protection != Protection::notUsed && snapshot.outdated) {
        rows.push_back({QStringLiteral("Actualizar Amparo…"), nullptr, Command::activate});
    }
    rows.push_back({});
    rows.push_back({QStringLiteral("Buscar actualizaciones…"), nullptr, Command::checkForUpdates});
    rows.push_back({QStringLiteral("Donar…"), "heart", Command::donate});
    rows.push_back({QStringLiteral("Salir de Amparo"), nullptr, Command::quit});
    return rows;
}

}  // namespace amparo
