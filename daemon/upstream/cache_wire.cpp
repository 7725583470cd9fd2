#include "daemon/upstream/cache_wire.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "daemon/text.h"
#include "daemon/wire/wire_reader.h"

namespace tranca {

namespace {

constexpr std::uint8_t kRcodeNoError = 0;
constexpr std::size_t kTtlAt = 4;          // within a record's fixed part: type, class, TTL
constexpr std::size_t kTtlBeforeData = 6;  // the TTL, then the data length
constexpr std::size_t kSoaTimers = 20;
constexpr std::size_t kMaxChain = 8;
constexpr std::size_t kMaxRecords = 256;
// RFC 2181: a TTL with the top bit set counts as 0.
constexpr std::uint32_t kMaxWireTtl = 0x7FFFFFFF;

enum : std::uint16_t {
    kTypeNs = 2,
    kTypeCname = 5,
    kTypeSoa = 6,
    kTypePtr = 12,
    kTypeMx = 15,
    kTypeAaaa = 28,
    kTypeAny = 255,
};

// Old types whose data may hold compressed names this file does not rewrite:
// a reply with one of them is not kept rather than kept with broken pointers.
bool hasUnreadNames(std::uint16_t type) {
    switch (type) {
        case 3:
        case 4:
        case 7:
        case 8:
        case 9:
        case 14:
        case 17:
        case 18:
        case 21:
        case 26:
            return true;
        default:
            return false;
    }
}

void putU32(std::span<std::byte> out, std::size_t at, std::uint32_t value) {
    putU16(out, at, static_cast<std::uint16_t>(value >> 16));
    putU16(out, at + 2, static_cast<std::uint16_t>(value & 0xFFFF));
}

struct WireName {
    std::array<std::byte, kMaxNameWire> bytes;
    std::size_t size = 0;
    DnsBytes view() const { return {bytes.data(), size}; }
};

// The name where reader stands, written out whole; false when it does not read.
bool readWireName(WireReader& reader, WireName& out) {
    const auto size = reader.wireName(out.bytes);
    out.size = size.value_or(0);
    return size.has_value();
}

std::string_view asText(DnsBytes bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Length octets are at most 63, below every letter: folding case over the
// whole wire form compares label by label.
bool sameName(DnsBytes a, DnsBytes b) {
    return text::equalsIgnoringAsciiCase(asText(a), asText(b));
}

// True when name is zone or lies below it.
bool isWithin(DnsBytes name, DnsBytes zone) {
    for (std::size_t at = 0; at < name.size();) {
        if (name.size() - at == zone.size() && sameName(name.subspan(at), zone)) {
            return true;
        }
        at += 1 + byteAt(name, at);
    }
    return false;
}

class Writer {
  public:
    bool put(DnsBytes bytes) {
        if (size_ + bytes.size() > buffer_.size()) {
            full_ = true;
            return false;
        }
        std::memcpy(buffer_.data() + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
        return true;
    }
    bool putU16(std::uint16_t value) {
        const std::array<std::byte, 2> two{std::byte(value >> 8), std::byte(value & 0xFF)};
        return put(two);
    }
    std::span<std::byte> written() { return {buffer_.data(), size_}; }
    std::size_t size() const { return size_; }
    bool full() const { return full_; }

  private:
    std::array<std::byte, kMaxCachedReply> buffer_;
    std::size_t size_ = 0;
    bool full_ = false;
};

// Names in the data of the types that carry them, written out whole; false
// when the data does not read as its type says.
bool writeData(Writer& out, DnsBytes reply, const RecordHeader& record) {
    const auto type = static_cast<std::uint16_t>(record.type);
    const DnsBytes data = reply.subspan(record.data, record.dataLength);
    std::size_t prefix = 0;
    std::size_t names = 0;
    std::size_t suffix = 0;
    switch (type) {
        case static_cast<std::uint16_t>(RecordType::A):
            return data.size() == kIpv4Size && out.put(data);
        case kTypeAaaa:
            return data.size() == 16 && out.put(data);
        case kTypeNs:
        case kTypeCname:
        case kTypePtr:
            names = 1;
            break;
        case kTypeMx:
            prefix = 2, names = 1;
            break;
        case kTypeSoa:
            names = 2, suffix = kSoaTimers;
            break;
        default:
            return !hasUnreadNames(type) && out.put(data);
    }
    if (data.size() < prefix || !out.put(data.first(prefix))) {
        return false;
    }
    WireReader reader(reply, record.data + prefix);
    WireName name;
    for (std::size_t i = 0; i < names; ++i) {
        if (!readWireName(reader, name) || reader.position() > record.end ||
            !out.put(name.view())) {
            return false;
        }
    }
    return reader.position() + suffix == record.end &&
           out.put(reply.subspan(reader.position(), suffix));
}

}  // namespace

std::optional<CacheableReply> cacheableReply(DnsBytes reply, std::size_t questionEnd) {
    if (questionEnd <= kHeaderSize || reply.size() < questionEnd) {
        return std::nullopt;
    }
    const std::uint8_t rcode = byteAt(reply, kRcodeFlagsOffset) & kRcodeMask;
    if ((byteAt(reply, kFlagsOffset) & kFlagTC) != 0 ||
        (rcode != kRcodeNoError && rcode != kNxDomain)) {
        return std::nullopt;
    }
    const std::size_t answers = u16At(reply, kAnswerCountOffset);
    const std::size_t authority = u16At(reply, kAuthorityCountOffset);
    if (answers + authority > kMaxRecords) {
        return std::nullopt;
    }
    const std::uint16_t qtype = u16At(reply, questionEnd - kQuestionFixedSize);
    const std::uint16_t qclass = u16At(reply, questionEnd - 2);
    std::array<WireName, kMaxChain> chain;
    std::size_t chainLength = 1;
    if (WireReader question(reply, kHeaderSize); !readWireName(question, chain[0])) {
        return std::nullopt;
    }
    const auto inChain = [&](const WireName& name) {
        return std::any_of(chain.begin(), chain.begin() + chainLength, [&](const WireName& link) {
            return sameName(link.view(), name.view());
        });
    };

    Writer out;
    out.put(reply.first(questionEnd));
    std::uint32_t ttl = kMaxWireTtl;
    std::uint16_t keptAnswers = 0;
    std::uint16_t keptAuthority = 0;
    bool answered = false;
    WireReader reader(reply, questionEnd);
    WireName owner;
    for (std::size_t i = 0; i < answers + authority; ++i) {
        if (!readWireName(reader, owner)) {
            return std::nullopt;
        }
        const auto record = reader.recordFixedPart();
        if (!record || !reader.skip(record->dataLength)) {
            return std::nullopt;
        }
        const auto type = static_cast<std::uint16_t>(record->type);
        std::uint32_t recordTtl = record->ttl;
        const bool isAnswer = i < answers;
        if (record->recordClass != qclass) {
            continue;
        }
        if (isAnswer) {
            if (!inChain(owner)) {
                continue;  // out of bailiwick: nothing this question asked about
            }
            if (type == kTypeCname) {
                if (chainLength == kMaxChain) {
                    return std::nullopt;
                }
                if (WireReader data(reply, record->data); !readWireName(data, chain[chainLength])) {
                    return std::nullopt;
                }
                ++chainLength;
            }
            answered = answered || type == qtype || qtype == kTypeAny;
        } else {
            // Only the SOA of the zone the last name lies in times a negative
            // answer; the rest of the authority section is not kept.
            if (type != kTypeSoa || answered ||
                !isWithin(chain[chainLength - 1].view(), owner.view())) {
                continue;
            }
            if (record->dataLength < kSoaTimers) {
                return std::nullopt;
            }
            // The SOA's last timer, its minimum, bounds the negative answer.
            recordTtl = std::min(recordTtl, WireReader(reply, record->end - 4).u32().value_or(0));
        }
        if (recordTtl > kMaxWireTtl) {
            recordTtl = 0;
        }
        const std::size_t start = out.size();
        if (!out.put(owner.view()) || !out.putU16(type) || !out.putU16(qclass) || !out.putU16(0) ||
            !out.putU16(0) || !out.putU16(0)) {
            return std::nullopt;
        }
        const std::size_t dataAt = out.size();
        if (!writeData(out, reply, *record)) {
            return std::nullopt;
        }
        const std::span<std::byte> written = out.written();
        const std::size_t fixedAt = start + owner.size;
        putU32(written, fixedAt + kTtlAt, recordTtl);
        putU16(written, fixedAt + 8, static_cast<std::uint16_t>(out.size() - dataAt));
        ttl = std::min(ttl, recordTtl);
        ++(isAnswer ? keptAnswers : keptAuthority);
    }
    const bool negative = rcode == kNxDomain || !answered;
    if (negative && keptAuthority == 0) {
        return std::nullopt;  // no SOA: nothing says how long the absence holds
    }
    ttl = std::min(ttl, negative ? kMaxNegativeTtl : kMaxPositiveTtl);
    if (ttl == 0 || out.full()) {
        return std::nullopt;
    }
    const std::span<std::byte> written = out.written();
    putU16(written, kQuestionCountOffset, 1);
    putU16(written, kAnswerCountOffset, keptAnswers);
    putU16(written, kAuthorityCountOffset, keptAuthority);
    putU16(written, kAdditionalCountOffset, 0);
    CacheableReply kept{DnsMessage(written.begin(), written.end()), ttl};
    // Every record lives no longer than the ceiling either.
    setRecordTtls(kept.reply, questionEnd, 0);
    return kept;
}

void setRecordTtls(std::span<std::byte> reply, std::size_t questionEnd, std::uint32_t age,
                   std::optional<std::uint32_t> fixed) {
    const DnsBytes message(reply.data(), reply.size());
    if (message.size() < questionEnd || questionEnd < kHeaderSize) {
        return;
    }
    const std::size_t records = std::size_t{u16At(message, kAnswerCountOffset)} +
                                u16At(message, kAuthorityCountOffset) +
                                u16At(message, kAdditionalCountOffset);
    const std::uint32_t ceiling =
        u16At(message, kAnswerCountOffset) == 0 ? kMaxNegativeTtl : kMaxPositiveTtl;
    WireReader reader(message, questionEnd);
    for (std::size_t i = 0; i < records; ++i) {
        const auto record = reader.record();
        if (!record || !reader.skip(record->dataLength)) {
            return;
        }
        const std::uint32_t stored = std::min(record->ttl, ceiling);
        putU32(reply, record->data - kTtlBeforeData,
               fixed          ? *fixed
               : stored > age ? stored - age
                              : 0);
    }
}

}  // namespace tranca
