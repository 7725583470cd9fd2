// The daemon's only log function. Every line is "[<ISO-8601 UTC>] <message>",
// written whole in one call so concurrent threads never interleave.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace tranca {

// Writes one timestamped line to standard output.
void logLine(std::string_view message);

// While one is open on a thread, that thread's log lines are collected and
// written together when it closes (or when they pass 16 KiB): still whole
// lines in one write, but one system call for a burst of answers instead of
// one per line. The DNS listener opens one around each batch of datagrams.
class LogBatch {
  public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;
};

// A delay as log lines state it: "5 min", "2 s", "250 ms". Lines name the
// delay in force, which tests shorten.
std::string durationText(std::chrono::milliseconds delay);

// "2026-12-05T17:35:22Z" for the given time.
std::string isoTimestamp(std::time_t when);

// The line logLine writes, newline included. Nothing from outside can split,
// forge or reverse a line: ASCII controls (below U+0020, U+007F) and bytes that
// are not UTF-8 become "\xNN"; C1 controls (U+0080-U+009F, NEL among them),
// the line and paragraph separators U+2028/U+2029 and the bidirectional
// controls U+202A-U+202E and U+2066-U+2069 become "\uNNNN". Other UTF-8
// (Spanish text, IDN names) is kept as it is.
std::string formatLogLine(std::string_view message, std::time_t when);

// Appends text to out escaped as in formatLogLine.
void appendEscaped(std::string& out, std::string_view text);

// Appends a DNS name as dig shows it: letters, digits, '-', '_' and the dots
// as they are, every other byte (a blank, a bracket, non-ASCII) as "\DDD".
// A label such as "a BLOQUEADO b" then reads as one word in the log.
void appendDnsName(std::string& out, std::string_view name);
std::string dnsNameText(std::string_view name);

// When the log (standard output) is a regular file past cap bytes, empties
// it and says so: between two rotations nothing a local program makes the
// daemon write can fill the disk. True when it emptied it.
bool boundLogFile(int fd, std::uint64_t cap);

}  // namespace tranca
