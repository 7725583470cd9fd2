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

// Skips one name from offset without following pointers; none on failure.
std::optional<std::size_t> walkName(DnsBytes message, std::size_t offset) {
    for (std::size_t labels = 0; labels < kMaxWalkLabels; ++labels) {
        if (offset >= message.size()) {
            return std::nullopt;
        }
        const std::uint8_t length = byteAt(message, offset);
        if (length == 0) {
            return offset + 1;
        }
        if ((length & kPointerMark) == kPointerMark) {
            return offset + kPointerSize;
        }
        // 0x40 and 0x80 mark label types nobody sends: not a length to skip.
        if (length > kMaxLabelLength) {
            return std::nullopt;
        }
        offset += 1 + length;
    }
    return std::nullopt;
}

}  // namespace

bool parseQuestionInto(DnsBytes query, DNSQuestion& question) {
    if (query.size() < kMinQuestionMessage) {
        return false;
    }
    question.name.clear();
    std::size_t offset = kHeaderSize;
    for (;;) {
        if (offset >= query.size()) {
            return false;
        }
        const std::uint8_t length = byteAt(query, offset);
        if (length == 0) {
            break;
        }
        // Also rejects compression pointers: their top bits are set.
        if (length > kMaxLabelLength) {
            return false;
        }
        if (query.size() < offset + 1 + length) {
            return false;
        }
        if (offset + 1 + length - kHeaderSize >= kMaxNameWire) {
            return false;  // the root octet would not fit either
        }
        if (offset != kHeaderSize) {
            question.name += '.';
        }
        const std::string_view label = asText(query.subspan(offset + 1, length));
        if (text::isAscii(label)) {
            question.name.append(label);
        } else {
            text::appendReplacingInvalidUtf8(question.name, label);
        }
        offset += 1 + length;
    }
    // The root octet, then type and class.
    const std::size_t fixed = offset + 1;
    if (query.size() < fixed + kQuestionFixedSize) {
        return false;
    }
    question.qtype = u16At(query, fixed);
    question.questionEnd = fixed + kQuestionFixedSize;
    return true;
}

QueryKind classifyQuery(DnsBytes query) {
    if (query.size() < kHeaderSize || (byteAt(query, kFlagsOffset) & kFlagQR) != 0) {
        return QueryKind::ignore;
    }
    if ((byteAt(query, kFlagsOffset) & kOpcodeMask) != 0) {
        return QueryKind::notImplemented;
    }
    if (u16At(query, kQuestionCountOffset) != 1 || u16At(query, kAnswerCountOffset) != 0 ||
        u16At(query, kAuthorityCountOffset) != 0) {
        return QueryKind::formatError;
    }
    return QueryKind::query;
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

std::size_t udpReplyLimit(DnsBytes query, std::size_t questionEnd) {
    if (query.size() < kHeaderSize || questionEnd > query.size()) {
        return kPlainUdpLimit;
    }
    const std::uint16_t additional = u16At(query, kAdditionalCountOffset);
    std::size_t offset = questionEnd;
    for (std::uint16_t i = 0; i < additional && i < kMaxQuestionCount; ++i) {
        const auto nameEnd = walkName(query, offset);
        const auto record = nameEnd ? readRecordHeader(query, *nameEnd) : std::nullopt;
        if (!record) {
            break;
        }
        if (record->type == RecordType::OPT) {
            const std::size_t offered = record->recordClass;
            return std::clamp(offered, kPlainUdpLimit, kMaxUdpLimit);
        }
        offset = record->end;
    }
    return kPlainUdpLimit;
}

DnsMessage truncatedReply(DnsBytes reply, DnsBytes query, std::size_t questionEnd) {
    if (reply.size() < kHeaderSize || questionEnd < kHeaderSize || questionEnd > query.size()) {
        return {};
    }
    DnsMessage out(reply.begin(), reply.begin() + kHeaderSize);
    out[kFlagsOffset] |= std::byte{kFlagTC};
    putU16(out, kQuestionCountOffset, 1);
    putU16(out, kAnswerCountOffset, 0);
    putU16(out, kAuthorityCountOffset, 0);
    putU16(out, kAdditionalCountOffset, 0);
    out.insert(out.end(), query.begin() + kHeaderSize, query.begin() + questionEnd);
    return out;
}

std::optional<std::size_t> readName(DnsBytes message, std::size_t offset,
                                    std::span<char, kMaxNameWire> out, std::size_t& next) {
    std::size_t length = 0;
    std::size_t wire = 0;
    bool jumped = false;
    // Every pointer must go backwards, so a chain of them ends.
    std::size_t limit = offset;
    for (std::size_t steps = 0; steps < kMaxWalkLabels * 2; ++steps) {
        if (offset >= message.size()) {
            return std::nullopt;
        }
        const std::uint8_t label = byteAt(message, offset);
        if ((label & kPointerMark) == kPointerMark) {
            if (offset + 1 >= message.size()) {
                return std::nullopt;
            }
            const std::size_t target = u16At(message, offset) & kPointerOffsetMask;
            if (!jumped) {
                next = offset + kPointerSize;
                jumped = true;
            }
            if (target >= limit) {
                return std::nullopt;
            }
            limit = target;
            offset = target;
            continue;
        }
        if (label > kMaxLabelLength) {
            return std::nullopt;
        }
        if (label == 0) {
            if (!jumped) {
                next = offset + 1;
            }
            return length;
        }
        wire += 1 + label;
        if (wire + 1 > kMaxNameWire || offset + 1 + label > message.size()) {
            return std::nullopt;
        }
        if (length != 0) {
            out[length++] = '.';
        }
        std::memcpy(out.data() + length, message.data() + offset + 1, label);
        length += label;
        offset += 1 + label;
    }
    return std::nullopt;
}

std::optional<std::size_t> answersStart(DnsBytes message) {
    if (message.size() < kHeaderSize) {
        return std::nullopt;
    }
    const std::uint16_t questions = u16At(message, kQuestionCountOffset);
    if (questions > kMaxQuestionCount) {
        return std::nullopt;
    }
    std::size_t offset = kHeaderSize;
    for (std::uint16_t i = 0; i < questions; ++i) {
        const auto nameEnd = walkName(message, offset);
        if (!nameEnd || message.size() < *nameEnd + kQuestionFixedSize) {
            return std::nullopt;
        }
        offset = *nameEnd + kQuestionFixedSize;
    }
    return offset;
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
    if (message.size() < kHeaderSize) {
        return false;
    }
    const std::uint16_t answers = u16At(message, kAnswerCountOffset);
    if (answers == 0 || answers > kMaxAnswerCount) {
        return false;
    }
    const auto start = answersStart(message);
    if (!start) {
        return false;
    }
    std::size_t offset = *start;
    bool rewrote = false;
    for (std::uint16_t i = 0; i < answers; ++i) {
        const auto nameEnd = walkName(message, offset);
        const auto record = nameEnd ? readRecordHeader(message, *nameEnd) : std::nullopt;
        if (!record || message.size() < record->end) {
            break;
        }
        const std::size_t data = record->data;
        if (record->type == RecordType::A && record->dataLength == kIpv4Size &&
            byteAt(message, data) == 0 && byteAt(message, data + 1) == 0 &&
            byteAt(message, data + 2) == 0 && byteAt(message, data + 3) == 0) {
            for (std::size_t k = 0; k < kIpv4Size; ++k) {
                reply[data + k] = std::byte{blockAddress[k]};
            }
            rewrote = true;
        }
        offset = record->end;
    }
    return rewrote;
}

}  // namespace tranca
