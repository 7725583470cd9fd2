#include "platform/listener_owner.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>

#include "platform/posix/file_util.h"

namespace tranca::platform {

namespace {

// Columns of a socket table line: "sl local rem st tx:rx tr:when retrnsmt uid …".
constexpr std::size_t kLocalColumn = 1;
constexpr std::size_t kStateColumn = 3;
constexpr std::size_t kUidColumn = 7;
constexpr std::string_view kListenState = "0A";
constexpr std::size_t kPortDigits = 4;
constexpr std::size_t kWordDigits = 8;  // one 32-bit word of an address
constexpr std::size_t kMaxTableBytes = 16 << 20;

// The column'th blank-separated field of line; empty when there are fewer.
std::string_view column(std::string_view line, std::size_t wanted) {
    std::size_t index = 0;
    while (!line.empty()) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        line.remove_prefix(start);
        const std::size_t end = std::min(line.find(' '), line.size());
        if (index++ == wanted) {
            return line.substr(0, end);
        }
        line.remove_prefix(end);
    }
    return {};
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text, int base) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc{} || stop != end) {
        return std::nullopt;
    }
    return value;
}

// The address's bytes in network order. The kernel prints each 32-bit word
// of the address as a number in this machine's byte order.
std::optional<std::array<std::uint8_t, 16>> addressBytes(std::string_view hex) {
    if (hex.empty() || hex.size() > 32 || hex.size() % kWordDigits != 0) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t word = 0; word * kWordDigits < hex.size(); ++word) {
        const auto value =
            parseNumber<std::uint32_t>(hex.substr(word * kWordDigits, kWordDigits), 16);
        if (!value) {
            return std::nullopt;
        }
        std::memcpy(bytes.data() + word * 4, &*value, 4);
    }
    return bytes;
}

// 127.0.0.1 or any address; for IPv6, :: or the mapped ::ffff:127.0.0.1.
bool reachesLoopback(const std::array<std::uint8_t, 16>& address, bool ipv6) {
    constexpr std::array<std::uint8_t, 4> loopback{127, 0, 0, 1};
    constexpr std::array<std::uint8_t, 4> any{0, 0, 0, 0};
    const auto tailIs = [&](const std::array<std::uint8_t, 4>& four, std::size_t at) {
        return std::equal(four.begin(), four.end(), address.begin() + at);
    };
    if (!ipv6) {
        return tailIs(loopback, 0) || tailIs(any, 0);
    }
    const bool zeroPrefix =
        std::all_of(address.begin(), address.begin() + 10, [](std::uint8_t b) { return b == 0; });
    const bool mapped = address[10] == 0xff && address[11] == 0xff;
    return zeroPrefix && ((mapped && tailIs(loopback, 12)) ||
                          (address[10] == 0 && address[11] == 0 && tailIs(any, 12)));
}

}  // namespace

std::vector<std::uint32_t> loopbackListeners(std::string_view table, std::uint16_t port,
                                             bool ipv6) {
    std::vector<std::uint32_t> owners;
    const std::size_t addressDigits = ipv6 ? 32 : kWordDigits;
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::string_view line = table.substr(0, end);
        table.remove_prefix(std::min(end + 1, table.size()));

        const std::string_view local = column(line, kLocalColumn);
        const std::size_t colon = local.find(':');
        if (colon != addressDigits || local.size() != colon + 1 + kPortDigits ||
            column(line, kStateColumn) != kListenState) {
            continue;
        }
        const auto address = addressBytes(local.substr(0, colon));
        const auto localPort = parseNumber<std::uint16_t>(local.substr(colon + 1), 16);
        const auto uid = parseNumber<std::uint32_t>(column(line, kUidColumn), 10);
        if (address && localPort == port && uid && reachesLoopback(*address, ipv6)) {
            owners.push_back(*uid);
        }
    }
    return owners;
}

std::optional<std::uint32_t> userId(std::string_view name) {
    const std::string user(name);
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return found->pw_uid;
}

bool loopbackPortHeldBy(std::string_view user, std::uint16_t port) {
    const auto expected = userId(user);
    if (!expected) {
        return false;
    }
    std::vector<std::uint32_t> owners;
    for (const bool ipv6 : {false, true}) {
        const auto table =
            posix_files::readFile(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp", kMaxTableBytes);
        if (!table && !ipv6) {
            return false;
        }
        // No tcp6 table: a kernel without IPv6, so nobody listens there.
        const auto found = loopbackListeners(table.value_or(""), port, ipv6);
        owners.insert(owners.end(), found.begin(), found.end());
    }
    return !owners.empty() && std::all_of(owners.begin(), owners.end(),
                                          [&](std::uint32_t uid) { return uid == *expected; });
}

}  // namespace tranca::platform
