// The fixed layout of a DNS message: where the header fields sit, what the
// flag bits mean, the record types the daemon reads, and the big-endian reads
// and writes of its fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tranca {

using DnsBytes = std::span<const std::byte>;

// The header: ID, two octets of flags, then the four section counts.
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kIdOffset = 0;
inline constexpr std::size_t kIdSize = 2;
inline constexpr std::size_t kFlagsOffset = 2;       // QR, opcode, AA, TC, RD
inline constexpr std::size_t kRcodeFlagsOffset = 3;  // RA, Z, AD, CD, RCODE
inline constexpr std::size_t kQuestionCountOffset = 4;
inline constexpr std::size_t kAnswerCountOffset = 6;
inline constexpr std::size_t kAuthorityCountOffset = 8;
inline constexpr std::size_t kAdditionalCountOffset = 10;

// Bits of the first flags octet.
inline constexpr std::uint8_t kFlagQR = 0x80;      // a response
inline constexpr std::uint8_t kOpcodeMask = 0x78;  // zero for a standard query
inline constexpr std::uint8_t kFlagTC = 0x02;      // truncated
inline constexpr std::uint8_t kFlagRD = 0x01;      // recursion desired
// Bits of the second.
inline constexpr std::uint8_t kFlagRA = 0x80;  // recursion available
inline constexpr std::uint8_t kRcodeMask = 0x0F;

// Response codes.
inline constexpr std::uint8_t kFormErr = 1;
inline constexpr std::uint8_t kServFail = 2;
inline constexpr std::uint8_t kNxDomain = 3;
inline constexpr std::uint8_t kNotImp = 4;

enum class RecordType : std::uint16_t { A = 1, CNAME = 5, OPT = 41 };
inline constexpr std::uint16_t kClassIN = 1;
inline constexpr std::size_t kIpv4Size = 4;

// A label is at most 63 octets; a length octet with both top bits set starts
// a two-octet compression pointer whose other bits are an offset.
inline constexpr std::uint8_t kMaxLabelLength = 63;
inline constexpr std::uint8_t kPointerMark = 0xC0;
inline constexpr std::uint16_t kPointerOffsetMask = 0x3FFF;
inline constexpr std::size_t kPointerSize = 2;
// The longest name on the wire, length octets and the root included.
inline constexpr std::size_t kMaxNameWire = 255;
// A name of at most 255 octets has at most 128 labels and its root.
inline constexpr std::size_t kMaxWalkLabels = 129;
// A pointer to the first question's name, which follows the header.
inline constexpr std::uint16_t kPointerToQuestion = (kPointerMark << 8) | kHeaderSize;

// What follows a question's name: type and class.
inline constexpr std::size_t kQuestionFixedSize = 4;
// What follows a record's name: type, class, TTL, data length.
inline constexpr std::size_t kRecordFixedSize = 10;

// Over TCP every message is preceded by its length in two octets.
inline constexpr std::size_t kTcpLengthSize = 2;

// Unchecked reads and writes: the caller has checked the bounds.
inline std::uint8_t byteAt(DnsBytes bytes, std::size_t at) {
    return static_cast<std::uint8_t>(bytes[at]);
}

inline std::uint16_t u16At(DnsBytes bytes, std::size_t at) {
    return static_cast<std::uint16_t>((byteAt(bytes, at) << 8) | byteAt(bytes, at + 1));
}

inline void putU16(std::span<std::byte> out, std::size_t at, std::uint16_t value) {
    out[at] = std::byte{static_cast<std::uint8_t>(value >> 8)};
    out[at + 1] = std::byte{static_cast<std::uint8_t>(value & 0xFF)};
}

// The fixed part of a resource record.
struct RecordHeader {
    RecordType type;
    std::uint16_t recordClass;  // for OPT, the UDP payload size its sender takes
    std::uint32_t ttl;
    std::uint16_t dataLength;
    std::size_t data;  // offset of the record's data
    std::size_t end;   // offset just after it; may lie past the message
};

}  // namespace tranca
