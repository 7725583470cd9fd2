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

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
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
        writeAll(STDOUT_FILENO, log.pending);
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
