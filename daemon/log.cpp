#include "daemon/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include "daemon/text.h"
#include "platform/posix/file_util.h"

namespace tranca {

std::string isoTimestamp(std::time_t when) {
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return std::string(text, length);
}

std::string durationText(std::chrono::milliseconds delay) {
    const auto count = delay.count();
    if (count != 0 && count % 60'000 == 0) {
        return std::to_string(count / 60'000) + " min";
    }
    if (count != 0 && count % 1'000 == 0) {
        return std::to_string(count / 1'000) + " s";
    }
    return std::to_string(count) + " ms";
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Characters that end a line for some reader (C1 controls with NEL among
// them, the line and paragraph separators) or that reorder how a line reads
// (the bidirectional embeddings, overrides and isolates).
bool breaksOrReordersLines(char32_t c) {
    return (c >= 0x80 && c <= 0x9f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    // Runs of characters that need no escape are copied whole.
    std::size_t plainFrom = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte < 0x7f) {
            ++at;
            continue;
        }
        char32_t c = byte;
        std::size_t length = 1;
        if (byte >= 0x80) {
            length = text::decodeUtf8(text, at, c);
            if (length != 0 && !breaksOrReordersLines(c)) {
                at += length;
                continue;
            }
        }
        out.append(text.substr(plainFrom, at - plainFrom));
        if (length > 1) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kHex[(c >> shift) & 0x0f];
            }
        } else {
            // An ASCII control, or a byte that is not UTF-8: a reader in a
            // single-byte charset could take it for a control.
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
            length = 1;
        }
        at += length;
        plainFrom = at;
    }
    out.append(text.substr(plainFrom));
}

void appendDnsName(std::string& out, std::string_view name) {
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (plain) {
            out += c;
            continue;
        }
        out += '\\';
        out += static_cast<char>('0' + byte / 100);
        out += static_cast<char>('0' + byte / 10 % 10);
        out += static_cast<char>('0' + byte % 10);
    }
}

std::string dnsNameText(std::string_view name) {
    std::string out;
    appendDnsName(out, name);
    return out;
}

bool boundLogFile(int fd, std::uint64_t cap) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) <= cap) {
        return false;
    }
    if (::ftruncate(fd, 0) != 0) {
        return false;
    }
    logLine("El registro pasó de " + std::to_string(cap >> 20) +
            " MB desde la última rotación: se vació para no llenar el disco");
    return true;
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

namespace {

constexpr std::size_t kBatchFlushBytes = 16 * 1024;

struct ThreadLog {
    int openBatches = 0;
    std::string pending;
    std::time_t stampTime = -1;
    std::string stamp;  // "[<time>] " for stampTime
};

ThreadLog& threadLog() {
    thread_local ThreadLog log;
    return log;
}

void flush(ThreadLog& log) {
    if (!log.pending.empty()) {
        platform::posix_files::writeAll(STDOUT_FILENO, log.pending);
        log.pending.clear();
    }
}

}  // namespace

LogBatch::LogBatch() {
    ++threadLog().openBatches;
}

LogBatch::~LogBatch() {
    ThreadLog& log = threadLog();
    if (--log.openBatches == 0) {
        flush(log);
    }
}

void logLine(std::string_view message) {
    ThreadLog& log = threadLog();
    const std::time_t now = std::time(nullptr);
    if (now != log.stampTime) {
        log.stampTime = now;
        log.stamp = "[" + isoTimestamp(now) + "] ";
    }
    // Composed whole first, so lines from other threads never interleave.
    log.pending += log.stamp;
    appendEscaped(log.pending, message);
    log.pending += '\n';
    if (log.openBatches == 0 || log.pending.size() >= kBatchFlushBytes) {
        flush(log);
    }
}

}  // namespace tranca
