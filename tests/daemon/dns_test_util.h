// Small builders for DNS messages in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/dns_message.h"

namespace tranca::testing {

inline DnsMessage bytes(std::initializer_list<int> values) {
    DnsMessage out;
    for (const int v : values) {
        out.push_back(std::byte{static_cast<std::uint8_t>(v)});
    }
    return out;
}

inline void append(DnsMessage& out, std::initializer_list<int> values) {
    for (const int v : values) {
        out.push_back(std::byte{static_cast<std::uint8_t>(v)});
    }
}

inline void appendName(DnsMessage& out, std::string_view name) {
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) {
            dot = name.size();
        }
        out.push_back(std::byte{static_cast<std::uint8_t>(dot - start)});
        for (std::size_t i = start; i < dot; ++i) {
            out.push_back(std::byte{static_cast<std::uint8_t>(name[i])});
        }
        start = dot + 1;
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
    out[2] = std::byte{0x81};
    out[3] = std::byte{0x80};
    out[7] = std::byte{static_cast<std::uint8_t>(addresses.size())};
    for (const Ipv4& a : addresses) {
        append(out, {0xC0, 0x0C, 0, 1, 0, 1, static_cast<int>(ttl >> 24),
                     static_cast<int>((ttl >> 16) & 0xff), static_cast<int>((ttl >> 8) & 0xff),
                     static_cast<int>(ttl & 0xff), 0, 4, a[0], a[1], a[2], a[3]});
    }
    return out;
}

inline std::uint8_t at(const DnsMessage& m, std::size_t i) {
    return static_cast<std::uint8_t>(m[i]);
}

}  // namespace tranca::testing
