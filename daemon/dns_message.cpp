#include "daemon/dns_message.h"

#include <algorithm>
#include <cstring>

#include "daemon/text.h"

namespace tranca {

namespace {

inline std::uint8_t byteAt(DnsBytes bytes, std::size_t at) {
    return static_cast<std::uint8_t>(bytes[at]);
}

inline std::uint16_t u16At(DnsBytes bytes, std::size_t at) {
    return static_cast<std::uint16_t>((byteAt(bytes, at) << 8) | byteAt(bytes, at + 1));
}

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
        if ((length & 0xC0) == 0xC0) {
            return offset + 2;
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
    std::size_t offset = 12;
    for (;;) {
        if (offset >= query.size()) {
            return false;
        }
        const std::uint8_t length = byteAt(query, offset);
        if (length == 0) {
            break;
        }
        // Also rejects compression pointers: their top bits are set.
        if (length > 63) {
            return false;
        }
        if (query.size() < offset + 1 + length) {
            return false;
        }
        if (offset + 1 + length - 12 >= kMaxNameWire) {
            return false;  // the root octet would not fit either
        }
        if (offset != 12) {
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
    if (query.size() < offset + 5) {
        return false;
    }
    question.qtype = u16At(query, offset + 1);
    question.questionEnd = offset + 5;
    return true;
}

QueryKind classifyQuery(DnsBytes query) {
    if (query.size() < kHeaderSize || (byteAt(query, 2) & 0x80) != 0) {
        return QueryKind::ignore;
    }
    if (((byteAt(query, 2) >> 3) & 0x0F) != 0) {
        return QueryKind::notImplemented;
    }
    if (u16At(query, 4) != 1 || u16At(query, 6) != 0 || u16At(query, 8) != 0) {
        return QueryKind::formatError;
    }
    return QueryKind::query;
}

std::size_t buildHeaderReplyInto(std::span<std::byte> out, DnsBytes query, std::uint8_t rcode) {
    if (query.size() < kHeaderSize || out.size() < kHeaderSize) {
        return 0;
    }
    std::memset(out.data(), 0, kHeaderSize);
    out[0] = query[0];
    out[1] = query[1];
    // QR, the query's opcode and RD.
    out[2] = std::byte{static_cast<std::uint8_t>(0x80 | (byteAt(query, 2) & 0x79))};
    out[3] = std::byte{static_cast<std::uint8_t>(rcode & 0x0F)};
    return kHeaderSize;
}

bool isReplyTo(DnsBytes reply, DnsBytes query, std::size_t questionEnd, bool matchId) {
    if (questionEnd <= kHeaderSize || questionEnd > query.size() || reply.size() < questionEnd) {
        return false;
    }
    if ((byteAt(reply, 2) & 0x80) == 0 || u16At(reply, 4) != 1) {
        return false;
    }
    if (matchId && (reply[0] != query[0] || reply[1] != query[1])) {
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
    const std::uint16_t additional = u16At(query, 10);
    std::size_t offset = questionEnd;
    for (std::uint16_t i = 0; i < additional && i < kMaxQuestionCount; ++i) {
        const auto nameEnd = walkName(query, offset);
        if (!nameEnd || query.size() < *nameEnd + 10) {
            break;
        }
        if (u16At(query, *nameEnd) == 41) {
            const std::size_t offered = u16At(query, *nameEnd + 2);
            return std::clamp(offered, kPlainUdpLimit, kMaxUdpLimit);
        }
        offset = *nameEnd + 10 + u16At(query, *nameEnd + 8);
    }
    return kPlainUdpLimit;
}

DnsMessage truncatedReply(DnsBytes reply, DnsBytes query, std::size_t questionEnd) {
    if (reply.size() < kHeaderSize || questionEnd < kHeaderSize || questionEnd > query.size()) {
        return {};
    }
    DnsMessage out(reply.begin(), reply.begin() + kHeaderSize);
    out[2] |= std::byte{0x02};  // TC
    const std::uint8_t counts[8] = {0, 1, 0, 0, 0, 0, 0, 0};
    std::memcpy(out.data() + 4, counts, sizeof counts);
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
        if ((label & 0xC0) == 0xC0) {
            if (offset + 1 >= message.size()) {
                return std::nullopt;
            }
            const std::size_t target = ((label & 0x3F) << 8) | byteAt(message, offset + 1);
            if (!jumped) {
                next = offset + 2;
                jumped = true;
            }
            if (target >= limit) {
                return std::nullopt;
            }
            limit = target;
            offset = target;
            continue;
        }
        if (label > 63) {
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
    const std::uint16_t questions = u16At(message, 4);
    if (questions > kMaxQuestionCount) {
        return std::nullopt;
    }
    std::size_t offset = kHeaderSize;
    for (std::uint16_t i = 0; i < questions; ++i) {
        const auto nameEnd = walkName(message, offset);
        if (!nameEnd || message.size() < *nameEnd + 4) {
            return std::nullopt;
        }
        offset = *nameEnd + 4;
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
    if (questionEnd < 12 || questionEnd > query.size()) {
        return 0;
    }
    const std::size_t size = answerSize(qtype, questionEnd);
    if (out.size() < size) {
        return 0;
    }
    const bool isA = qtype == 1;
    const std::uint8_t header[12] = {
        byteAt(query, 0),
        byteAt(query, 1),
        0x81,
        0x80,
        0x00,
        0x01,
        0x00,
        isA ? std::uint8_t{1} : std::uint8_t{0},
        0x00,
        0x00,
        0x00,
        0x00,
    };
    std::memcpy(out.data(), header, sizeof header);
    std::memcpy(out.data() + 12, query.data() + 12, questionEnd - 12);
    if (isA) {
        const std::uint8_t record[kAnswerOverhead] = {
            0xC0, 0x0C, 0x00, 0x01, 0x00,       0x01,       0x00,       0x00,
            0x00, ttl,  0x00, 0x04, address[0], address[1], address[2], address[3],
        };
        std::memcpy(out.data() + questionEnd, record, sizeof record);
    }
    return size;
}

DnsMessage buildAnswer(DnsBytes query, std::uint16_t qtype, std::size_t questionEnd,
                       const Ipv4& address, std::uint8_t ttl) {
    if (questionEnd < 12 || questionEnd > query.size()) {
        return {};
    }
    DnsMessage reply(answerSize(qtype, questionEnd));
    reply.resize(buildAnswerInto(reply, query, qtype, questionEnd, address, ttl));
    return reply;
}

std::optional<DnsMessage> buildServfail(DnsBytes query) {
    if (query.size() < 4) {
        return std::nullopt;
    }
    DnsMessage reply(query.size());
    buildServfailInto(reply, query);
    return reply;
}

std::size_t buildServfailInto(std::span<std::byte> out, DnsBytes query) {
    if (query.size() < 4 || out.size() < query.size()) {
        return 0;
    }
    std::memcpy(out.data(), query.data(), query.size());
    out[2] = std::byte{static_cast<std::uint8_t>(byteAt(query, 2) | 0x80)};
    out[3] = std::byte{static_cast<std::uint8_t>((byteAt(query, 3) & 0xF0) | 0x02)};
    return query.size();
}

bool rewriteFamilyBlock(std::span<std::byte> reply, const Ipv4& blockAddress) {
    const DnsBytes message(reply.data(), reply.size());
    if (message.size() < 12) {
        return false;
    }
    const std::uint16_t answers = u16At(message, 6);
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
        if (!nameEnd || message.size() < *nameEnd + 10) {
            break;
        }
        const std::uint16_t type = u16At(message, *nameEnd);
        const std::uint16_t dataLength = u16At(message, *nameEnd + 8);
        const std::size_t next = *nameEnd + 10 + dataLength;
        if (message.size() < next) {
            break;
        }
        const std::size_t data = *nameEnd + 10;
        if (type == 1 && dataLength == 4 && byteAt(message, data) == 0 &&
            byteAt(message, data + 1) == 0 && byteAt(message, data + 2) == 0 &&
            byteAt(message, data + 3) == 0) {
            for (std::size_t k = 0; k < 4; ++k) {
                reply[data + k] = std::byte{blockAddress[k]};
            }
            rewrote = true;
        }
        offset = next;
    }
    return rewrote;
}

}  // namespace tranca
