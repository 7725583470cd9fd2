#include "app/core/daemon_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <array>
#include <cstdint>
#include <vector>

#include "contract/filter.h"
#include "daemon/wire/query_writer.h"

namespace amparo {

namespace {

constexpr std::size_t kReplyBuffer = 512;

}  // namespace

bool probeDaemon(quint16 port, std::chrono::milliseconds timeout, quint32 address) {
    const auto id = static_cast<std::uint16_t>(QRandomGenerator::global()->bounded(65535u) + 1);
    const std::optional<std::vector<std::byte>> query =
        tranca::buildQuery(id, contract::kStatusName, tranca::RecordType::A);
    if (!query) {
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(port);
    daemon.sin_addr.s_addr = htonl(address);
    bool answered = false;
    const ssize_t sent = ::sendto(fd, query->data(), query->size(), 0,
                                  reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon);
    if (sent == static_cast<ssize_t>(query->size())) {
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) > 0) {
            std::array<std::uint8_t, kReplyBuffer> reply{};
            const ssize_t got = ::recv(fd, reply.data(), reply.size(), 0);
            answered = got >= static_cast<ssize_t>(tranca::kHeaderSize) && reply[0] == (id >> 8) &&
                       reply[1] == (id & 0xff);
        }
    }
    ::close(fd);
    return answered;
}

}  // namespace amparo
