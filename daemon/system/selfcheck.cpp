#include "daemon/system/selfcheck.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "daemon/log.h"
#include "daemon/wire/dns_message.h"
#include "platform/listener_owner.h"

namespace tranca {

namespace {

constexpr std::uint16_t kStatusQueryId = 0x4242;
// Failed probes in a row that end the daemon.
constexpr int kFailuresToStop = 2;
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

// One probe's state, shared by its handlers; all of them run on its strand
// ("tranca.probe"), so the done flag needs no lock.
struct Probe {
    explicit Probe(asio::io_context& io)
        : strand(asio::make_strand(io)), socket(strand), timer(strand) {}

    asio::strand<asio::io_context::executor_type> strand;
    asio::ip::udp::socket socket;
    asio::steady_timer timer;
    std::vector<std::uint8_t> query;
    std::array<std::uint8_t, kPlainUdpLimit> reply{};
    bool done = false;
};

}  // namespace

std::vector<std::uint8_t> buildStatusQuery(std::string_view name) {
    std::vector<std::uint8_t> query(kHeaderSize);
    const std::span<std::byte> header = std::as_writable_bytes(std::span(query));
    putU16(header, kIdOffset, kStatusQueryId);
    header[kFlagsOffset] = std::byte{kFlagRD};
    putU16(header, kQuestionCountOffset, 1);
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        const std::string_view label =
            name.substr(start, std::min<std::size_t>(dot - start, kMaxLabelLength));
        if (!label.empty()) {
            query.push_back(static_cast<std::uint8_t>(label.size()));
            query.insert(query.end(), label.begin(), label.end());
        }
        start = dot + 1;
    }
    // The root octet, then type A and class IN.
    const std::size_t fixed = query.size() + 1;
    query.resize(fixed + kQuestionFixedSize);
    const std::span<std::byte> tail = std::as_writable_bytes(std::span(query));
    putU16(tail, fixed, static_cast<std::uint16_t>(RecordType::A));
    putU16(tail, fixed + 2, kClassIN);
    return query;
}

bool isRightStatusReply(std::span<const std::uint8_t> reply,
                        const std::array<std::uint8_t, 4>& address) {
    return reply.size() >= 4 && std::equal(address.begin(), address.end(), reply.end() - 4);
}

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
    : config_(config),
      settings_(std::move(settings)),
      net_(config_, settings_.opener),
      lock_(
          managesSystemDNS(config_) && settings_.packetFilter ? settings_.packetFilter() : nullptr,
          config_.dnsPort) {}

void SelfCheck::runSelfCheck() {
    if (io_ == nullptr) {
        return;
    }
    auto probe = std::make_shared<Probe>(*io_);
    probe->query = buildStatusQuery(config_.statusName);
    asio::dispatch(probe->strand, [this, probe] {
        const auto finish = [this, probe](bool good) {
            if (probe->done) {
                return;
            }
            probe->done = true;
            std::error_code ignored;
            probe->socket.close(ignored);
            probe->timer.cancel();
            finishSelfCheck(good);
        };
        std::error_code error;
        const auto address = asio::ip::make_address_v4(config_.listenHost, error);
        if (!error) {
            probe->socket.open(asio::ip::udp::v4(), error);
        }
        if (!error) {
            probe->socket.connect({address, config_.dnsPort}, error);
        }
        if (error) {
            // No socket to send from (descriptors exhausted, say): a failed probe.
            finish(false);
            return;
        }
        probe->socket.async_send(asio::buffer(probe->query),
                                 [finish](const std::error_code& sent, std::size_t) {
                                     if (sent) {
                                         finish(false);
                                     }
                                 });
        probe->socket.async_receive(
            asio::buffer(probe->reply),
            [this, probe, finish](const std::error_code& received, std::size_t length) {
                const bool good =
                    !received && isRightStatusReply(std::span(probe->reply.data(), length),
                                                    config_.statusAddress);
                finish(good);
            });
        probe->timer.expires_after(probeTimeout_);
        probe->timer.async_wait([finish](const std::error_code& cancelled) {
            if (!cancelled) {
                finish(false);
            }
        });
    });
}

void SelfCheck::finishSelfCheck(bool good) {
    if (good) {
        if (selfCheckFailures_.exchange(0) >= 1) {
            logLine("Autochequeo recuperado");
        }
        queueEnforceProtection();
        return;
    }
    const int failures = selfCheckFailures_.fetch_add(1) + 1;
    logLine("Autochequeo sin respuesta (" + std::to_string(failures) + "/" +
            std::to_string(kFailuresToStop) + ")");
    if (failures >= kFailuresToStop && terminate_) {
        terminate_(1, "el filtro no responde");
    }
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
    const bool dnsPutBack = net_.setDNSMode(DNSMode::local, "el filtro responde");
    lock_.keep(LockMode::local);
    struct stat info {};
    const bool listening = ::stat(settings_.proxyJobFile.c_str(), &info) == 0 &&
                           isContentFilterListening(settings_.contentFilterPort);
    // While the proxy restarts any user may take its port; every browser
    // would then send its pages to that user's program.
    const bool ours =
        listening && platform::loopbackPortHeldBy(settings_.proxyUser, settings_.contentFilterPort);
    if (net_.managesSystemDNS()) {
        const std::string_view reason = ours ? "el filtro de contenido atiende"
                                        : listening
                                            ? "el puerto del filtro de contenido es de otro usuario"
                                            : "el filtro de contenido no atiende";
        const bool proxyPutBack = net_.setSystemProxy(ours ? kProxyOn : kProxyOff, reason, ours);
        if (enforcedOnce_ && proxyPutBack && ours == lastProxyOn_ && putBack_) {
            putBack_("la configuración de proxy");
        }
        lastProxyOn_ = ours;
    }
    if (enforcedOnce_ && dnsPutBack && putBack_) {
        putBack_("el DNS");
    }
    enforcedOnce_ = true;
}

void SelfCheck::stopProtection(std::string_view reason) {
    stopping_.store(true);
    net_.setDNSMode(DNSMode::respaldo, reason);
    if (lock_.available()) {
        lock_.apply(LockMode::respaldo);
    }
    if (net_.managesSystemDNS()) {
        net_.setSystemProxy(kProxyOff, reason, false);
    }
}

}  // namespace tranca
