#include "app/core/status_menu.h"

#include "app/core/os_table.h"
#include "app/core/text.h"
#include "app/core/trusted_person.h"
#include "app/core/wait.h"

namespace amparo {

StatePresentation statePresentation(Protection protection) {
    switch (protection) {
        case Protection::checking:
            return {"shield", QStringLiteral("Revisando…")};
        case Protection::notInstalled:
            return {"shield.slash", QStringLiteral("Protección sin activar")};
        case Protection::active:
            return {"checkmark.shield.fill", QStringLiteral("Protección activa")};
        case Protection::fallback:
            return {"shield.lefthalf.filled", QStringLiteral("Protección de respaldo")};
        case Protection::offline:
            return {"exclamationmark.shield.fill",
                    QStringLiteral("Sin internet: el filtro no responde")};
        case Protection::notUsed:
            return {"exclamationmark.shield", qtext(os::kCurrent.notUsedText)};
        case Protection::off:
            break;
    }
    return {"shield.slash", QStringLiteral("Protección desactivada")};
}

StateText stateText(Protection protection) {
    const auto& table = os::kCurrent;
    switch (protection) {
        case Protection::checking:
            return {QStringLiteral("Revisando…"), QStringLiteral("Un momento.")};
        case Protection::notInstalled:
            return {QStringLiteral("Activá la protección"), qtext(table.cardNotInstalledDetail)};
        case Protection::active:
            return {QStringLiteral("Protección activa"),
                    QStringLiteral("Sitios para adultos bloqueados.")};
        case Protection::fallback:
            return {QStringLiteral("Protección de respaldo"),
                    QStringLiteral("Amparo se detuvo. Mientras tanto te cuida el filtro familiar "
                                   "de Cloudflare.")};
        case Protection::offline:
            return {qtext(table.cardOfflineTitle),
                    QStringLiteral("El filtro de Amparo no responde.")};
        case Protection::notUsed:
            return {qtext(table.cardNotUsedTitle),
                    QStringLiteral("Otro DNS, un perfil o una VPN pasa por encima de Amparo.")};
        case Protection::off:
            break;
    }
    return {QStringLiteral("Protección desactivada"), qtext(table.cardOffDetail)};
}

QString trayTooltip(const ProtectionSnapshot& snapshot) {
    QString tooltip = QStringLiteral("Amparo · ") + statePresentation(snapshot.protection).text;
    if (const PendingChange* change = firstDue(snapshot.pending)) {
        tooltip += u'\n' + pendingLine(*change);
    }
    if (snapshot.notices && snapshot.notices->unsent > 0) {
        tooltip += u'\n' + unsentLine(snapshot.notices->unsent);
    }
    return tooltip;
}

std::vector<MenuRow> statusMenuRows(const ProtectionSnapshot& snapshot) {
    const StatePresentation state = statePresentation(snapshot.protection);
    const PendingChange* pending = firstDue(snapshot.pending);
    std::vector<MenuRow> rows{{state.text, state.symbol, MenuCommand::none, false}};
    if (pending) {
        rows.push_back({pendingLine(*pending), "hourglass", MenuCommand::none, false});
        if (!pending->failure.isEmpty()) {
            rows.push_back({pendingFailureLine(*pending), nullptr, MenuCommand::none, false});
        }
    }
    rows.push_back({});
    rows.push_back({QStringLiteral("Abrir Amparo"), nullptr, MenuCommand::open});
    if (pending) {
        rows.push_back(
            {QStringLiteral("Cancelar el cambio pendiente"), nullptr, MenuCommand::cancelPending});
    }
    switch (snapshot.protection) {
        case Protection::checking:
            break;
        case Protection::notInstalled:
        case Protection::off:
            rows.push_back({QStringLiteral("Activar protección…"), nullptr, MenuCommand::activate});
            break;
        case Protection::active:
            // Asked once already: it only waits to happen.
            if (!isPending(snapshot, PendingAction::deactivate)) {
                rows.push_back(
                    {QStringLiteral("Desactivar protección…"), nullptr, MenuCommand::deactivate});
            }
            break;
        case Protection::fallback:
            rows.push_back({QStringLiteral("Reactivar Amparo…"), nullptr, MenuCommand::activate});
            break;
        case Protection::offline:
            rows.push_back({QStringLiteral("Recuperar internet…"), nullptr, MenuCommand::restore});
            break;
        case Protection::notUsed:
            rows.push_back({QStringLiteral("Reparar…"), nullptr, MenuCommand::activate});
            break;
    }
    if (snapshot.installed && snapshot.protection != Protection::notUsed && snapshot.outdated) {
        rows.push_back({QStringLiteral("Actualizar Amparo…"), nullptr, MenuCommand::activate});
    }
    rows.push_back({});
    rows.push_back({QStringLiteral("Buscar actualizaciones…"), nullptr, MenuCommand::checkUpdates});
    rows.push_back({QStringLiteral("Donar…"), "heart", MenuCommand::donate});
    rows.push_back({QStringLiteral("Salir de Amparo"), nullptr, MenuCommand::quit});
    return rows;
}

}  // namespace amparo
