// What the tray shows for a snapshot: the state's symbol and text (also the
// tooltip after "Amparo · ", with the pending change and the notices unsent
// under it) and the menu rows, rebuilt on every opening.
#pragma once

#include <QString>
#include <vector>

#include "app/core/snapshot.h"

namespace amparo {

struct StatePresentation {
    const char* symbol;  // by its SF Symbol name; the theme maps it to an icon
    QString text;
};

StatePresentation statePresentation(Protection protection);

// The window's title and detail for a state, which a notification of it
// repeats.
struct StateText {
    QString title;
    QString detail;
};
StateText stateText(Protection protection);
QString trayTooltip(const ProtectionSnapshot& snapshot);

enum class MenuCommand {
    none,
    open,
    activate,
    deactivate,
    restore,
    cancelPending,
    checkUpdates,
    donate,
    quit
};

struct MenuRow {
    QString text;  // empty for a separator
    const char* symbol = nullptr;
    MenuCommand command = MenuCommand::none;
    bool enabled = true;

    bool isSeparator() const { return text.isEmpty(); }
};

std::vector<MenuRow> statusMenuRows(const ProtectionSnapshot& snapshot);

}  // namespace amparo
