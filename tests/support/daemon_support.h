// What the daemon's tests share: a scratch directory, the daemon's own
// standard output (where its log goes) read back, and DNS message builders.
// Apart from support.h because daemon_tests links no Qt.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>

#include "daemon/wire/dns_message.h"

namespace tranca::testing {

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeText(const std::filesystem::path& path, std::string_view text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::size_t countOf(std::string_view text, std::string_view fragment) {
    std::size_t n = 0;
    for (auto at = text.find(fragment); at != std::string_view::npos;
         at = text.find(fragment, at + fragment.size())) {
        ++n;
    }
    return n;
}

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tranca-test-XXXXXX");
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
    void write(std::string_view name, std::string_view text) const {
        writeText(path_ / name, text);
    }

  private:
    std::filesystem::path path_;
};

// The daemon logs to standard output (or errors to standard error): while
// this lives, that descriptor goes to a file the test reads back.
class CapturedOutput {
  public:
    explicit CapturedOutput(int fd = STDOUT_FILENO) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        const int file = ::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, fd_);
        ::close(file);
    }
    ~CapturedOutput() {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    std::string text() const {
        std::fflush(nullptr);
        return readText(dir_ / "out");
    }
    std::size_t count(std::string_view fragment) const { return countOf(text(), fragment); }

  private:
    int fd_;
    int saved_ = -1;
    ScratchDir dir_;
};

inline DnsMessage bytes(std::initializer_list<int> values) {
    DnsMessage out;
    for (const int v : values) {
        out.push_back(std::byte{static_cast<std::uint8_t>(v)});
    }
    return out;
}

inline void append(DnsMessage& out, std::initializer_list<int> values) {
    const DnsMessage more = bytes(values);
    out.insert(out.end(), more.begin(), more.end());
}

inline void appendName(DnsMessage& out, std::string_view name) {
    while (!name.empty()) {
        const std::size_t dot = std::min(name.find('.'), name.size());
        out.push_back(std::byte{static_cast<std::uint8_t>(dot)});
        for (const char c : name.substr(0, dot)) {
            out.push_back(std::byte{static_cast<std::uint8_t>(c)});
        }
        name.remove_prefix(std::min(dot + 1, name.size()));
    }
    out.push_back(std::byte{0});
}

// A query with one question, class IN.
inline DnsMessage makeQuery(std::uint16_t id, std::string_view name, std::uint16_t qtype = 1,
                            std::uint16_t flags = 0x0100) {
    DnsMessage out = bytes({id >> 8, id & 0xff, flags >> 8, flags & 0xff, 0, 1, 0, 0, 0, 0, 0, 0});
    appendName(out, name);
    append(out, {qtype >> 8, qtype & 0xff, 0, 1});
    return out;
}

// An answer for query (which must have one question) carrying A records.
inline DnsMessage makeReply(const DnsMessage& query, std::initializer_list<Ipv4> addresses,
                            std::uint32_t ttl = 300) {
    DnsMessage out = query;
    out[2] = std::byte{0x81};  // QR, RD
    out[3] = std::byte{0x80};  // RA, NOERROR
    out[7] = std::byte{static_cast<std::uint8_t>(addresses.size())};
    for (const Ipv4& a : addresses) {
        append(out, {0xC0, 0x0C, 0, 1, 0, 1, static_cast<int>(ttl >> 24),
                     static_cast<int>((ttl >> 16) & 0xff), static_cast<int>((ttl >> 8) & 0xff),
                     static_cast<int>(ttl & 0xff), 0, 4, a[0], a[1], a[2], a[3]});
    }
    return out;
}

// Past the end is a failed test (the exception), never a read out of bounds.
inline std::uint8_t at(const DnsMessage& m, std::size_t i) {
    return static_cast<std::uint8_t>(m.at(i));
}

}  // namespace tranca::testing
