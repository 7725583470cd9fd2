#include "daemon/cli.h"

#include <unistd.h>

#include <array>

#include "daemon/netconfig.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

void writeError(std::string_view text) {
    platform::posix_files::writeAll(STDERR_FILENO, text);
}

struct CommandRow {
    std::string_view flag;
    std::string_view value;
    bool needsManagement;
    bool changesDNS;
};

constexpr std::array<CommandRow, 5> kCommands{{
    {"--dns", "estado", false, false},
    {"--dns", "local", true, true},
    {"--dns", "respaldo", true, true},
    {"--dns", "original", true, true},
    {"--proxy", "apagado", true, false},
}};

void runRow(const CommandRow& row, NetConfig& net) {
    constexpr std::string_view kProxyOff = "Proxy del filtro apagado";
    if (row.value == "estado") {
        net.printStatus();
    } else if (row.value == "local") {
        net.saveOriginalDNS();
        net.setDNSMode(DNSMode::local, "activar");
    } else if (row.value == "respaldo") {
        net.setDNSMode(DNSMode::respaldo, "recuperar internet");
        net.setSystemProxy(kProxyOff, "recuperar internet", false);
    } else if (row.value == "original") {
        net.setDNSMode(DNSMode::original, "desactivar");
        net.setSystemProxy(kProxyOff, "desactivar", false);
        ::unlink(net.originalPath().c_str());
    } else if (row.value == "apagado") {
        net.setSystemProxy(kProxyOff, "se desactiva el filtro de contenido", false);
    }
}

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
    NetConfig net(config);
    // Checked before any step, so that nothing at all changes: "original"
    // would otherwise still turn the proxy off and drop the record.
    if (row->changesDNS) {
        if (const auto why = net.unreadableDNS()) {
            writeError("No se cambió nada: " + *why + ".\n");
            return 1;
        }
    }
    runRow(*row, net);
    // Other failures show only as the settings store's log lines.
    return 0;
}

}  // namespace tranca
