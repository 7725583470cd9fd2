#include "daemon/wire/dns_message.h"

#include <algorithm>
#include <cstring>

#include "daemon/text.h"

namespace tranca {

namespace {

// The header up to its flags: all a SERVFAIL needs.
constexpr std::size_t kThroughFlags = kRcodeFlagsOffset + 1;

inline std::string_view asText(DnsBytes bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The counts of a header the reader has just passed its flags of.
struct SectionCounts {
    std::uint16_t questions = 0;
    std::uint16_t answers = 0;
    std::uint16_t authority = 0;
    std::uint16_t additional = 0;
};

std::optional<SectionCounts> readCounts(WireReader& reader) {
    if (reader.remaining() < kHeaderSize - kQuestionCountOffset) {
        return std::nullopt;
    }
    return SectionCounts{*reader.u16(), *reader.u16(), *reader.u16(), *reader.u16()};
}

// The question at the reader, which ends up just past it.
bool readQuestion(WireReader& reader, DNSQuestion& question) {
    question.name.clear();
    const std::size_t start = reader.position();
    for (;;) {
        const auto length = reader.u8();
        if (!length) {
            return false;
        }
        if (*length == 0) {
            break;
        }
        // Also rejects compression pointers: their top bits are set.
        if (*length > kMaxLabelLength) {
            return false;
        }
        const auto label = reader.bytes(*length);
        if (!label) {
            return false;
        }
        if (reader.position() - start >= kMaxNameWire) {
            return false;  // the root octet would not fit either
        }
        if (reader.position() - start != 1u + *length) {
            question.name += '.';
        }
        const std::string_view text = asText(*label);
        if (text::isAscii(text)) {
            question.name.append(text);
        } else {
            text::appendReplacingInvalidUtf8(question.name, text);
        }
    }
    const auto qtype = reader.u16();
    const auto qclass = reader.u16();
    if (!qtype || !qclass) {
        return false;
    }
    question.qtype = *qtype;
    question.questionEnd = reader.position();
    return true;
}

// What the header at the reader allows, its ID and first flags octet into id
// and flags; the reader ends past the header.
QueryKind readHeader(WireReader& reader, std::uint16_t& id, std::uint8_t& flags) {
    const auto idField = reader.u16();
    const auto flagsField = reader.u8();
    const auto counts = reader.skip(1) ? readCounts(reader) : std::nullopt;
    if (!idField || !flagsField || !counts || (*flagsField & kFlagQR) != 0) {
        return QueryKind::ignore;
    }
    id = *idField;
    flags = *flagsField;
    if ((flags & kOpcodeMask) != 0) {
        return QueryKind::notImplemented;
    }
    if (counts->questions != 1 || counts->answers != 0 || counts->authority != 0) {
        return QueryKind::formatError;
    }
    return QueryKind::query;
}

// The UDP limit the OPT record among the additional records offers.
std::size_t ednsLimit(WireReader& reader, std::uint16_t additional) {
    for (std::uint16_t i = 0; i < additional && i < kMaxQuestionCount; ++i) {
        const auto record = reader.record();
        if (!record) {
            break;
        }
        if (record->type == RecordType::OPT) {
            const std::size_t offered = record->recordClass;
            return std::clamp(offered, kPlainUdpLimit, kMaxUdpLimit);
        }
        if (!reader.skip(record->dataLength)) {
            break;
        }
    }
    return kPlainUdpLimit;
}

}  // namespace

bool parseQuestionInto(DnsBytes query, DNSQuestion& question) {
    WireReader reader(query, kHeaderSize);
    return query.size() >= kHeaderSize && readQuestion(reader, question);
}

QueryKind classifyQuery(DnsBytes query) {
    WireReader reader(query);
    std::uint16_t id = 0;
    std::uint8_t flags = 0;
    return readHeader(reader, id, flags);
}

QueryKind parseQueryInto(DnsBytes bytes, Query& query) {
    WireReader reader(bytes);
    query.bytes = bytes;
    const QueryKind kind = readHeader(reader, query.id, query.flags);
    if (kind != QueryKind::query) {
        return kind;
    }
    if (!readQuestion(reader, query.question)) {
        return QueryKind::formatError;
    }
    query.udpLimit = ednsLimit(reader, u16At(bytes, kAdditionalCountOffset));
    return QueryKind::query;
}

std::optional<Query> parseQuery(DnsBytes bytes) {
    Query query;
    if (parseQueryInto(bytes, query) != QueryKind::query) {
        return std::nullopt;
    }
    return query;
}

std::size_t buildHeaderReplyInto(std::span<std::byte> out, DnsBytes query, std::uint8_t rcode) {
    if (query.size() < kHeaderSize || out.size() < kHeaderSize) {
        return 0;
    }
    std::memset(out.data(), 0, kHeaderSize);
    putU16(out, kIdOffset, u16At(query, kIdOffset));
    // QR, the query's opcode and RD.
    out[kFlagsOffset] = std::byte{static_cast<std::uint8_t>(
        kFlagQR | (byteAt(query, kFlagsOffset) & (kOpcodeMask | kFlagRD)))};
    out[kRcodeFlagsOffset] = std::byte{static_cast<std::uint8_t>(rcode & kRcodeMask)};
    return kHeaderSize;
}

bool isReplyTo(DnsBytes reply, DnsBytes query, std::size_t questionEnd, bool matchId) {
    if (questionEnd <= kHeaderSize || questionEnd > query.size() || reply.size() < questionEnd) {
        return false;
    }
    if ((byteAt(reply, kFlagsOffset) & kFlagQR) == 0 || u16At(reply, kQuestionCountOffset) != 1) {
        return false;
    }
    if (matchId && u16At(reply, kIdOffset) != u16At(query, kIdOffset)) {
        return false;
    }
    // Length octets are at most 63, below every letter, so folding case over
    // the whole question compares the names label by label.
    const std::size_t length = questionEnd - kHeaderSize;
    return text::equalsIgnoringAsciiCase(asText(reply.subspan(kHeaderSize, length)),
                                         asText(query.subspan(kHeaderSize, length)));
}

std::optional<std::size_t> readName(DnsBytes message, std::size_t offset,
                                    std::span<char, kMaxNameWire> out, std::size_t& next) {
    if (offset >= message.size()) {
        return std::nullopt;
    }
    WireReader reader(message, offset);
    const auto length = reader.name(out);
    if (length) {
        next = reader.position();
    }
    return length;
}

std::optional<std::size_t> answersStart(DnsBytes message) {
    WireReader reader(message, kQuestionCountOffset);
    const auto counts = readCounts(reader);
    if (!counts || counts->questions > kMaxQuestionCount) {
        return std::nullopt;
    }
    for (std::uint16_t i = 0; i < counts->questions; ++i) {
        if (!reader.skipName() || !reader.skip(kQuestionFixedSize)) {
            return std::nullopt;
        }
    }
    return reader.position();
}

std::optional<DNSQuestion> parseQuestion(DnsBytes query) {
    DNSQuestion question;
    if (!parseQuestionInto(query, question)) {
        return std::nullopt;
    }
    return question;
}

std::size_t buildAnswerInto(std::span<std::byte> out, DnsBytes query, std::uint16_t qtype,
                            std::size_t questionEnd, const Ipv4& address, std::uint8_t ttl) {
    if (questionEnd < kHeaderSize || questionEnd > query.size()) {
        return 0;
    }
    const std::size_t size = answerSize(qtype, questionEnd);
    if (out.size() < size) {
        return 0;
    }
    const bool isA = qtype == static_cast<std::uint16_t>(RecordType::A);
    // A response, RD and RA set whatever the query asked, no error; the
    // question as it came, then the record.
    putU16(out, kIdOffset, u16At(query, kIdOffset));
    out[kFlagsOffset] = std::byte{kFlagQR | kFlagRD};
    out[kRcodeFlagsOffset] = std::byte{kFlagRA};
    putU16(out, kQuestionCountOffset, 1);
    putU16(out, kAnswerCountOffset, isA ? 1 : 0);
    putU16(out, kAuthorityCountOffset, 0);
    putU16(out, kAdditionalCountOffset, 0);
    std::memcpy(out.data() + kHeaderSize, query.data() + kHeaderSize, questionEnd - kHeaderSize);
    if (isA) {
        const std::span<std::byte> record = out.subspan(questionEnd, kAnswerOverhead);
        putU16(record, 0, kPointerToQuestion);
        putU16(record, 2, static_cast<std::uint16_t>(RecordType::A));
        putU16(record, 4, kClassIN);
        putU16(record, 6, 0);  // the TTL's high half
        putU16(record, 8, ttl);
        putU16(record, 10, static_cast<std::uint16_t>(kIpv4Size));
        std::memcpy(record.data() + kPointerSize + kRecordFixedSize, address.data(), kIpv4Size);
    }
    return size;
}

DnsMessage buildAnswer(DnsBytes query, std::uint16_t qtype, std::size_t questionEnd,
                       const Ipv4& address, std::uint8_t ttl) {
    if (questionEnd < kHeaderSize || questionEnd > query.size()) {
        return {};
    }
    DnsMessage reply(answerSize(qtype, questionEnd));
    reply.resize(buildAnswerInto(reply, query, qtype, questionEnd, address, ttl));
    return reply;
}

std::optional<DnsMessage> buildServfail(DnsBytes query) {
    if (query.size() < kThroughFlags) {
        return std::nullopt;
    }
    DnsMessage reply(query.size());
    buildServfailInto(reply, query);
    return reply;
}

std::size_t buildServfailInto(std::span<std::byte> out, DnsBytes query) {
    if (query.size() < kThroughFlags || out.size() < query.size()) {
        return 0;
    }
    std::memcpy(out.data(), query.data(), query.size());
    out[kFlagsOffset] = std::byte{static_cast<std::uint8_t>(byteAt(query, kFlagsOffset) | kFlagQR)};
    out[kRcodeFlagsOffset] = std::byte{
        static_cast<std::uint8_t>((byteAt(query, kRcodeFlagsOffset) & ~kRcodeMask) | kServFail)};
    return query.size();
}

bool rewriteFamilyBlock(std::span<std::byte> reply, const Ipv4& blockAddress) {
    const DnsBytes message(reply.data(), reply.size());
    const auto start = answersStart(message);
    if (!start) {
        return false;
    }
    const std::uint16_t answers = u16At(message, kAnswerCountOffset);
    if (answers == 0 || answers > kMaxAnswerCount) {
        return false;
    }
    WireReader reader(message, *start);
    bool rewrote = false;
    for (std::uint16_t i = 0; i < answers; ++i) {
        const auto record = reader.record();
        const auto data = record ? reader.bytes(record->dataLength) : std::nullopt;
        if (!data) {
            break;
        }
        if (record->type == RecordType::A && record->dataLength == kIpv4Size &&
            std::all_of(data->begin(), data->end(),
                        [](std::byte b) { return b == std::byte{0}; })) {
            std::memcpy(reply.data() + record->data, blockAddress.data(), kIpv4Size);
            rewrote = true;
        }
    }
    return rewrote;
}

}  // namespace tranca
