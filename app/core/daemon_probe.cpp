#include "app/core/daemon_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "contract/filter.h"

namespace amparo {

namespace {

constexpr std::size_t kDnsHeaderBytes = 12;
constexpr std::size_t kReplyBuffer = 512;

std::vector<std::byte> statusQuery(std::uint16_t id) {
    std::vector<std::byte> query;
    const auto put = [&query](unsigned value) { query.push_back(std::byte(value & 0xff)); };
    put(id >> 8);
    put(id);
    put(0x01);  // recursion desired, nothing else
    put(0x00);
    for (const unsigned count : {1u, 0u, 0u, 0u}) {
        put(count >> 8);
        put(count);
    }
    std::string_view name = contract::kStatusName;
    while (!name.empty()) {
        const auto dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        if (!label.empty()) {
            put(static_cast<unsigned>(label.size()));
            for (const char c : label) {
                put(static_cast<unsigned char>(c));
            }
        }
        name = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
    }
    put(0);
    for (const unsigned field : {0x0001u, 0x0001u}) {  // QTYPE A, QCLASS IN
        put(field >> 8);
        put(field);
    }
    return query;
}

}  // namespace

bool probeDaemon(quint16 port, std::chrono::milliseconds timeout, quint32 address) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const auto id = static_cast<std::uint16_t>(QRandomGenerator::global()->bounded(65535u) + 1);
    const std::vector<std::byte> query = statusQuery(id);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(port);
    daemon.sin_addr.s_addr = htonl(address);
    bool answered = false;
    const ssize_t sent = ::sendto(fd, query.data(), query.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&daemon), sizeof daemon);
    if (sent == static_cast<ssize_t>(query.size())) {
        pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) > 0) {
            std::array<std::uint8_t, kReplyBuffer> reply{};
            const ssize_t got = ::recv(fd, reply.data(), reply.size(), 0);
            answered = got >= static_cast<ssize_t>(kDnsHeaderBytes) && reply[0] == (id >> 8) &&
                       reply[1] == (id & 0xff);
        }
    }
    ::close(fd);
    return answered;
}

}  // namespace amparo
