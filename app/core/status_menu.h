// What the tray shows for a snapshot: the state's line (also the tooltip
// after "Amparo · ", with the pending change and the notices unsent under it)
// and the menu rows, rebuilt on every opening.
#pragma once

#include <QString>
#include <vector>

#include "app/core/command.h"
#include "app/core/snapshot.h"

namespace amparo {

QString trayTooltip(const ProtectionSnapshot& snapshot);

struct MenuRow {
    QString text;  // empty for a separator
    const char* symbol = nullptr;
    Command command = Command::none;
    bool enabled = true;

    bool isSeparator() const { return text.isEmpty(); }
};

std::vector<MenuRow> statusMenuRows(const ProtectionSnapshot& snapshot);

}  // namespace amparo
