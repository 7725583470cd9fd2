#include "daemon/log.h"

#include <unistd.h>

#include <cerrno>

namespace tranca {

std::string isoTimestamp(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text, length);
}

void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        } else {
            out += c;
        }
    }
}

std::string formatLogLine(std::string_view message, std::time_t when) {
    std::string line;
    line.reserve(message.size() + 32);
    line += '[';
    line += isoTimestamp(when);
    line += "] ";
    appendEscaped(line, message);
    line += '\n';
    return line;
}

void logLine(std::string_view message) {
    const std::string line = formatLogLine(message, std::time(nullptr));
    // One write per line; loop only for the rare partial write to a pipe.
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace tranca
