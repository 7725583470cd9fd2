// What of an upstream reply may be kept: the records about the question's
// name and its CNAME chain, rewritten without compression so that each can be
// served on its own; and the TTL the whole reply may live.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "daemon/wire/dns_message.h"

namespace tranca {

// Replies larger than this are relayed but never kept.
inline constexpr std::size_t kMaxCachedReply = 4096;
// A day at most, an hour for "no such name": a mistyped name that starts to
// exist should not stay missing for long.
inline constexpr std::uint32_t kMaxPositiveTtl = 86400;
inline constexpr std::uint32_t kMaxNegativeTtl = 3600;

struct CacheableReply {
    DnsMessage reply;  // header, the question, then the kept records
    std::uint32_t ttl = 0;
};

// The part of reply worth keeping, or none when it may not be kept at all:
// not NOERROR or NXDOMAIN, truncated, no SOA to time a negative answer, a TTL
// of 0, a record that does not read whole, or larger than kMaxCachedReply.
// reply must already be known to answer query's question (ID and question
// checked). Records of another class, and records whose owner is neither the
// question's name nor a name its CNAME chain leads to, are dropped; so are
// the authority section (but for the SOA of a negative answer) and the
// additional section.
std::optional<CacheableReply> cacheableReply(DnsBytes reply, std::size_t questionEnd);

// Rewrites the TTL of every record of a reply made by cacheableReply: each
// one less age seconds, or every one fixed when fixed is set.
void setRecordTtls(std::span<std::byte> reply, std::size_t questionEnd, std::uint32_t age,
                   std::optional<std::uint32_t> fixed = std::nullopt);

}  // namespace tranca
