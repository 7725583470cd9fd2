// The few DNS operations the daemon needs: read a query once into a Query,
// answer its question with one A record (or none), turn a query into
// SERVFAIL, and point the family resolvers' 0.0.0.0 answers at the block page.
// No general message model: everything else is passed through as bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/wire/dns_wire.h"
#include "daemon/wire/wire_reader.h"

namespace tranca {

using DnsMessage = std::vector<std::byte>;
using Ipv4 = std::array<std::uint8_t, 4>;

struct DNSQuestion {
    std::string name;  // labels as UTF-8 (invalid bytes become U+FFFD), joined with "."
    std::uint16_t qtype = 0;
    std::size_t questionEnd = 0;  // first byte after the first question's QCLASS
};

// The largest reply a UDP client takes: 512 octets without EDNS, else the
// size its OPT record offers, at most kMaxUdpLimit. The client is on this
// machine, so there is no path MTU to keep below.
inline constexpr std::size_t kPlainUdpLimit = 512;
inline constexpr std::size_t kMaxUdpLimit = 4096;

// One query as the daemon reads it, once, before deciding anything.
struct Query {
    DnsBytes bytes;  // as it came: replies copy its question from here
    std::uint16_t id = 0;
    std::uint8_t flags = 0;  // the first flags octet: QR, opcode, RD
    DNSQuestion question;
    std::size_t udpLimit = kPlainUdpLimit;  // what a reply over UDP may hold
};

// A header and a question for the root name.
inline constexpr std::size_t kMinQuestionMessage = kHeaderSize + 1 + kQuestionFixedSize;
inline constexpr std::size_t kMaxAnswerCount = 64;
inline constexpr std::size_t kMaxQuestionCount = 4;
// One A record, its name a pointer to the question's.
inline constexpr std::size_t kAnswerOverhead = kPointerSize + kRecordFixedSize + kIpv4Size;

// Reads the first question; none when it does not lie whole within the
// query, uses compression, or names more than kMaxNameWire octets.
std::optional<DNSQuestion> parseQuestion(DnsBytes query);

// Same as parseQuestion, reusing question's storage so a warm caller allocates
// nothing. On false, question is left in an unspecified state.
bool parseQuestionInto(DnsBytes query, DNSQuestion& question);

// What the header of a datagram on the listener allows. Only a standard query
// with exactly one question (and nothing but additional records, EDNS) may be
// decided or forwarded; the rest is answered here or not at all.
enum class QueryKind {
    ignore,          // shorter than a header, or a response (QR set)
    notImplemented,  // an opcode other than QUERY
    formatError,     // not one question, or answer/authority records
    query,
};
QueryKind classifyQuery(DnsBytes query);

// Reads the header, the question and the EDNS size of bytes into query,
// reusing its storage so a warm caller allocates nothing. Returns what the
// header allows; formatError also when the question does not read. query is
// whole only for QueryKind::query.
QueryKind parseQueryInto(DnsBytes bytes, Query& query);

// Same, for callers that only take a standard query with one question.
std::optional<Query> parseQuery(DnsBytes bytes);

// A bare header in reply to query: same ID, opcode and RD, QR set, the given
// RCODE, no records. Returns its length, 0 when query has no header or out is
// too small.
std::size_t buildHeaderReplyInto(std::span<std::byte> out, DnsBytes query, std::uint8_t rcode);

// True when reply is a response to query's one question (which ends at
// questionEnd): QR set, one question, same name (ASCII case aside), type and
// class, and the same ID when matchId.
bool isReplyTo(DnsBytes reply, DnsBytes query, std::size_t questionEnd, bool matchId);

// Reads the name at offset, following compression pointers, as dotted text
// into out (labels as they are, case kept). Returns its length, none when it
// is malformed, loops or is longer than kMaxNameWire; next gets the offset
// just after the name where it starts.
std::optional<std::size_t> readName(DnsBytes message, std::size_t offset,
                                    std::span<char, kMaxNameWire> out, std::size_t& next);

// Offset of the first answer record, none when the header or the questions
// do not hold together.
std::optional<std::size_t> answersStart(DnsBytes message);

// Calls visit(name) with the owner of every answer record and the target of
// every CNAME, in order, until visit returns true; returns whether one did.
// Stops quietly at the first record that does not read whole.
template <typename Visit>
bool anyAnswerName(DnsBytes reply, Visit&& visit) {
    const auto start = answersStart(reply);
    if (!start) {
        return false;
    }
    const std::size_t answers = u16At(reply, kAnswerCountOffset);
    char buffer[kMaxNameWire];
    WireReader reader(reply, *start);
    for (std::size_t i = 0; i < answers && i < kMaxAnswerCount; ++i) {
        const auto length = reader.name(buffer);
        const auto record = length ? reader.recordFixedPart() : std::nullopt;
        if (!record) {
            return false;
        }
        if (visit(std::string_view(buffer, *length))) {
            return true;
        }
        if (reader.remaining() < record->dataLength) {
            return false;
        }
        if (record->type == RecordType::CNAME) {
            WireReader data(reply, record->data);
            const auto target = data.name(buffer);
            if (target && visit(std::string_view(buffer, *target))) {
                return true;
            }
        }
        reader.skip(record->dataLength);
    }
    return false;
}

// Size of the reply buildAnswer makes for this question.
inline std::size_t answerSize(std::uint16_t qtype, std::size_t questionEnd) {
    return questionEnd + (qtype == static_cast<std::uint16_t>(RecordType::A) ? kAnswerOverhead : 0);
}

// Writes the reply into out; returns its length, or 0 when out is too small or
// questionEnd does not lie within the query.
std::size_t buildAnswerInto(std::span<std::byte> out, DnsBytes query, std::uint16_t qtype,
                            std::size_t questionEnd, const Ipv4& address, std::uint8_t ttl);

// The reply for the first question: one A record for type A, none otherwise.
// Empty when questionEnd does not lie within the query.
DnsMessage buildAnswer(DnsBytes query, std::uint16_t qtype, std::size_t questionEnd,
                       const Ipv4& address, std::uint8_t ttl);

// The whole query with QR set and RCODE SERVFAIL; none when it ends before its
// flags.
std::optional<DnsMessage> buildServfail(DnsBytes query);

// Same into out; returns the length, 0 when there is none or out is too small.
std::size_t buildServfailInto(std::span<std::byte> out, DnsBytes query);

// Rewrites A 0.0.0.0 answers to blockAddress in place; true when one was.
bool rewriteFamilyBlock(std::span<std::byte> reply, const Ipv4& blockAddress = {127, 0, 0, 1});

// Helpers for callers that hold text or raw byte buffers.
inline DnsBytes asBytes(const void* data, std::size_t size) {
    return {static_cast<const std::byte*>(data), size};
}

}  // namespace tranca
