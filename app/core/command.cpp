#include "app/core/command.h"

#include <utility>

namespace amparo {

namespace {

constexpr std::pair<Command, const char*> kNames[] = {
    {Command::open, "open"},
    {Command::activate, "activate"},
    {Command::deactivate, "deactivate"},
    {Command::restoreInternet, "restoreInternet"},
    {Command::updateList, "updateList"},
    {Command::uninstall, "uninstall"},
    {Command::cancelPending, "cancelPending"},
    {Command::openLog, "openLog"},
    {Command::checkForUpdates, "checkForUpdates"},
    {Command::donate, "donate"},
    {Command::openWebsite, "openWebsite"},
    {Command::quit, "quit"},
};

}  // namespace

QString commandName(Command command) {
    for (const auto& [each, name] : kNames) {
        if (each == command) {
            return QLatin1String(name);
        }
    }
    return {};
}

std::optional<Command> commandNamed(QStringView name) {
    for (const auto& [command, each] : kNames) {
        if (name == QLatin1String(each)) {
            return command;
        }
    }
    return std::nullopt;
}

}  // namespace amparo
