#include "daemon/selfcheck.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tranca {

namespace {

constexpr std::string_view kProxyOn = "Proxy del filtro encendido";
constexpr std::string_view kProxyOff = "Proxy del filtro apagado";

bool connectProbe(int fd, std::uint16_t port) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd waiting{fd, POLLOUT, 0};
    if (::poll(&waiting, 1, 500) != 1) {
        return false;
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        return false;
    }
    return pending == 0;
}

}  // namespace

bool isContentFilterListening(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool listening = connectProbe(fd, port);
    ::close(fd);
    return listening;
}

SelfCheck::SelfCheck(const DaemonConfig& config, ProtectionSettings settings)
    : config_(config), settings_(std::move(settings)), net_(config_, settings_.opener) {}

void SelfCheck::runSelfCheck() {
    // Probing needs the DNS listener, which is not part of this build yet; a
    // probe without it would only ever fail and stop the daemon.
}

void SelfCheck::queueEnforceProtection() {
    if (networkQueue_ == nullptr) {
        return;
    }
    asio::post(*networkQueue_, [this] { enforceProtection(); });
}

void SelfCheck::enforceProtection() {
    if (stopping_.load()) {
        return;
    }
    net_.saveOriginalDNS();
    net_.setDNSMode(DNSMode::local, "el filtro responde");
    struct stat info {};
    const bool on = ::stat(settings_.proxyJobFile.c_str(), &info) == 0 &&
                    isContentFilterListening(settings_.contentFilterPort);
    if (net_.managesSystemDNS()) {
        net_.setSystemProxy(
            on ? kProxyOn : kProxyOff,
            on ? "el filtro de contenido atiende" : "el filtro de contenido no atiende", on);
    }
}

void SelfCheck::stopProtection(std::string_view reason) {
    stopping_.store(true);
    net_.setDNSMode(DNSMode::respaldo, reason);
    if (net_.managesSystemDNS()) {
        net_.setSystemProxy(kProxyOff, reason, false);
    }
}

}  // namespace tranca
