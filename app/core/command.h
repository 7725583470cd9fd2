// What the person can ask of Amparo from anywhere: the tray menu, the
// window's buttons and a notification's button all name the same commands,
// and one dispatcher carries them out.
#pragma once

#include <QString>
#include <QStringView>
#include <optional>

namespace amparo {

enum class Command {
    none,
    open,
    activate,
    deactivate,
    restoreInternet,
    updateList,
    uninstall,
    cancelPending,
    openLog,
    checkForUpdates,
    donate,
    openWebsite,
    quit
};

// The name a view passes for a command (its enumerator's own), and back;
// none for a name of no command.
QString commandName(Command command);
std::optional<Command> commandNamed(QStringView name);

}  // namespace amparo
