#include "daemon/cli/cli.h"

#include <unistd.h>

#include <array>

#include "daemon/cli/notice_cli.h"
#include "daemon/cli/wait_cli.h"
#include "daemon/system/dns_lock.h"
#include "daemon/system/netconfig.h"
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

constexpr std::array<CommandRow, 7> kCommands{{
    {"--dns", "estado", false, false},
    {"--bloqueo", "respaldo", true, false},
    {"--bloqueo", "quitar", true, false},
    {"--dns", "local", true, true},
    {"--dns", "respaldo", true, true},
    {"--dns", "original", true, true},
    {"--proxy", "apagado", true, false},
}};

std::string_view lockStatus(DnsLock& lock) {
    // The kernel shows its packet filter to root only (and libnftables says
    // so on standard error).
    if (::geteuid() != 0) {
        return "Bloqueo de DNS: solo lo ve el administrador";
    }
    if (!lock.available()) {
        return "Bloqueo de DNS: sin bloqueo de DNS (falta libnftables)";
    }
    if (const auto mode = lock.inPlace()) {
        return *mode == LockMode::local
                   ? "Bloqueo de DNS: activo (el DNS de otros programas va al filtro)"
                   : "Bloqueo de DNS: de respaldo (solo los resolvedores de respaldo)";
    }
    return "Bloqueo de DNS: sin bloqueo de DNS";
}

// The lock's own verbs: the unit's start and stop hooks put it in
// its backup form, the scripts take it away.
int runLockRow(const CommandRow& row, const DaemonConfig& config) {
    DnsLock lock(platform::systemPacketFilter(), config.dnsPort);
    if (!lock.available()) {
        writeError("Sin bloqueo de DNS: falta libnftables.\n");
        return 1;
    }
    const bool done = row.value == "quitar" ? lock.remove() : lock.apply(LockMode::respaldo);
    return done ? 0 : 1;
}

void runRow(const CommandRow& row, NetConfig& net, const DaemonConfig& config) {
    constexpr std::string_view kProxyOff = "Proxy del filtro apagado";
    if (row.value == "estado") {
        net.printStatus();
        DnsLock lock(::geteuid() == 0 ? platform::systemPacketFilter() : nullptr, config.dnsPort);
        platform::posix_files::writeAll(STDOUT_FILENO, std::string(lockStatus(lock)) + "\n");
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
    if (arguments.size() == 2 &&
        (arguments[0] == "--dns" || arguments[0] == "--proxy" || arguments[0] == "--bloqueo" ||
         arguments[0] == "--espera" || arguments[0] == "--cumplir" || arguments[0] == "--aviso" ||
         arguments[0] == "--avisos" || arguments[0] == "--confianza")) {
        return ArgumentsKind::tool;
    }
    if (arguments.size() == 1 && arguments[0] == "--probar-aviso") {
        return ArgumentsKind::tool;
    }
    return ArgumentsKind::usage;
}

void printUsage() {
    writeError(kUsageText);
}

int runCommand(const DaemonConfig& config, std::string_view flag, std::string_view value) {
    if (flag == "--espera") {
        return runWaitCommand(config, value);
    }
    if (flag == "--cumplir") {
        return carryOutChange(config, value);
    }
    if (flag == "--aviso") {
        return runNoticeCommand(config, value);
    }
    if (flag == "--avisos") {
        return runNoticeSender(config, value);
    }
    if (flag == "--confianza") {
        return runTrustedPersonCommand(config, value);
    }
    if (flag == "--probar-aviso") {
        return runMailTest(config);
    }
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
    if (row->flag == "--bloqueo") {
        return runLockRow(*row, config);
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
    runRow(*row, net, config);
    // Other failures show only as the settings store's log lines.
    return 0;
}

}  // namespace tranca
