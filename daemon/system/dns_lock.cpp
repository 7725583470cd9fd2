#include "daemon/system/dns_lock.h"

#include <sys/socket.h>

#include "daemon/log.h"
#include "daemon/system/dns_settings.h"

namespace tranca {

namespace {

constexpr std::string_view kResolverAddresses[] = {
#include "daemon/encrypted_resolver_addresses.inc"
};

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        out += out.empty() ? "" : ", ";
        out += item;
    }
    return out;
}

// "{ a, b }" as an anonymous set, or the one element alone.
std::string setOf(const std::vector<std::string>& items) {
    return items.size() == 1 ? items.front() : "{ " + joined(items) + " }";
}

std::string markText() {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", kDnsLockMark);
    return text;
}

std::string_view modeText(LockMode mode) {
    return mode == LockMode::local ? "redirige todo el DNS al filtro"
                                   : "solo deja pasar los resolvedores de respaldo";
}

}  // namespace

DnsLockAddresses DnsLockAddresses::standard() {
    DnsLockAddresses addresses;
    // The servers the machine is switched to when the filter stops.
    for (const std::string& address : backupServers()) {
        (address.find(':') == std::string::npos ? addresses.backupV4 : addresses.backupV6)
            .push_back(address);
    }
    for (const std::string_view address : kResolverAddresses) {
        (address.find(':') == std::string_view::npos ? addresses.resolverV4 : addresses.resolverV6)
            .emplace_back(address);
    }
    return addresses;
}

std::string dnsLockRules(LockMode mode, const DnsLockAddresses& addresses, std::uint16_t dnsPort) {
    const std::string mark = markText();
    const std::string port = std::to_string(dnsPort);
    std::string rules = "table inet amparo\ndelete table inet amparo\ntable inet amparo {\n";
    if (!addresses.resolverV4.empty()) {
        rules += "\tset resolvers4 {\n\t\ttype ipv4_addr\n\t\telements = { " +
                 joined(addresses.resolverV4) + " }\n\t}\n";
    }
    if (!addresses.resolverV6.empty()) {
        rules += "\tset resolvers6 {\n\t\ttype ipv6_addr\n\t\telements = { " +
                 joined(addresses.resolverV6) + " }\n\t}\n";
    }
    if (mode == LockMode::local) {
        // Before any filtering chain sees them, queries to a resolver written
        // into a program go to the filter instead.
        rules += "\tchain hacia_filtro {\n\t\ttype nat hook output priority -100; policy accept;\n";
        rules += "\t\tmeta mark " + mark + " return\n";
        for (const char* protocol : {"udp", "tcp"}) {
            rules += std::string("\t\tip daddr != 127.0.0.0/8 ") + protocol +
                     " dport 53 redirect to :" + port + "\n";
        }
        rules += "\t}\n";
    }
    // Ahead of a typical firewall's filter chain (priority 0), so its accepts
    // cannot let these through.
    rules += "\tchain rechazo {\n\t\ttype filter hook output priority -10; policy accept;\n";
    rules += "\t\tmeta mark " + mark + " accept\n";
    rules += "\t\tmeta l4proto { tcp, udp } th dport 853 reject\n";
    if (!addresses.resolverV4.empty()) {
        rules += "\t\tip daddr @resolvers4 meta l4proto { tcp, udp } th dport 443 reject\n";
    }
    if (!addresses.resolverV6.empty()) {
        rules += "\t\tip6 daddr @resolvers6 meta l4proto { tcp, udp } th dport 443 reject\n";
    }
    if (mode == LockMode::respaldo) {
        if (!addresses.backupV4.empty()) {
            rules += "\t\tip daddr " + setOf(addresses.backupV4) +
                     " meta l4proto { tcp, udp } th dport 53 accept\n";
        }
        if (!addresses.backupV6.empty()) {
            rules += "\t\tip6 daddr " + setOf(addresses.backupV6) +
                     " meta l4proto { tcp, udp } th dport 53 accept\n";
        }
        rules += "\t\tip daddr != 127.0.0.0/8 meta l4proto { tcp, udp } th dport 53 reject\n";
    }
    // The filter listens on IPv4 only: IPv6 DNS cannot be redirected to it.
    rules += "\t\tip6 daddr != ::1 meta l4proto { tcp, udp } th dport 53 reject\n";
    rules += "\t}\n}\n";
    return rules;
}

bool markSocket(int fd) {
    const std::uint32_t mark = kDnsLockMark;
    return ::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) == 0;
}

DnsLock::DnsLock(std::unique_ptr<platform::PacketFilter> filter, std::uint16_t dnsPort,
                 DnsLockAddresses addresses)
    : filter_(std::move(filter)), dnsPort_(dnsPort), addresses_(std::move(addresses)) {}

std::optional<std::string> DnsLock::listing() {
    if (!filter_) {
        return std::nullopt;
    }
    return filter_->run("list table inet amparo");
}

bool DnsLock::apply(LockMode mode) {
    if (!filter_) {
        return false;
    }
    if (!filter_->run(dnsLockRules(mode, addresses_, dnsPort_))) {
        logLine("No se pudo poner el bloqueo de DNS (" + filter_->lastError() + ")");
        return false;
    }
    appliedListing_ = listing().value_or(std::string());
    if (applied_ != mode) {
        logLine("Bloqueo de DNS: " + std::string(modeText(mode)));
    }
    applied_ = mode;
    return true;
}

void DnsLock::keep(LockMode mode) {
    if (!filter_) {
        return;
    }
    if (applied_ == mode) {
        const auto now = listing();
        if (now && *now == appliedListing_) {
            return;
        }
        logLine("La tabla inet amparo faltaba o había cambiado: se pone de nuevo");
    }
    apply(mode);
}

bool DnsLock::remove() {
    if (!filter_) {
        return true;
    }
    applied_.reset();
    return filter_->run("table inet amparo\ndelete table inet amparo\n").has_value();
}

std::optional<LockMode> DnsLock::inPlace() {
    const auto now = listing();
    if (!now) {
        return std::nullopt;
    }
    return now->find("chain hacia_filtro") != std::string::npos ? LockMode::local
                                                                : LockMode::respaldo;
}

}  // namespace tranca
