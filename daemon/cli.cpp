#include "daemon/cli.h"

#include <unistd.h>

#include <array>

#include "daemon/netconfig.h"

namespace tranca {

namespace {

void writeError(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

struct CommandRow {
    std::string_view flag;
    std::string_view value;
    bool needsManagement;
};

constexpr std::array<CommandRow, 5> kCommands{{
    {"--dns", "estado", false},
    {"--dns", "local", true},
    {"--dns", "respaldo", true},
    {"--dns", "original", true},
    {"--proxy", "apagado", true},
}};

}  // namespace

ArgumentsKind classifyArguments(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        return ArgumentsKind::daemon;
    }
    if (arguments.size() == 2 && (arguments[0] == "--dns" || arguments[0] == "--proxy")) {
        return ArgumentsKind::tool;
    }
    return ArgumentsKind::usage;
}

void printUsage() {
    writeError(kUsageText);
}

int runCommand(const DaemonConfig& config, std::string_view flag, std::string_view value) {
    const CommandRow* row = nullptr;
    for (const CommandRow& candidate : kCommands) {
        if (candidate.flag == flag && candidate.value == value) {
            row = &candidate;
            break;
        }
    }
    if (row == nullptr) {
        printUsage();
        return 64;
    }
    if (row->needsManagement && !managesSystemDNS(config)) {
        writeError("Hace falta ser administrador para cambiar la red.\n");
        return 1;
    }
    // The network settings store is not part of this build yet: refuse openly
    // instead of reporting a change that did not happen.
    writeError("trancad: esta versión todavía no sabe leer ni cambiar la configuración de red.\n");
    return 1;
}

}  // namespace tranca
