// A cursor over a DNS message: where it stands and what remains. Every read
// checks its bounds first; one that would run past the end fails and leaves
// the cursor where it was, so callers never index the bytes themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "daemon/wire/dns_wire.h"

namespace tranca {

class WireReader {
  public:
    explicit WireReader(DnsBytes message, std::size_t position = 0)
        : message_(message), position_(position <= message.size() ? position : message.size()) {}

    DnsBytes message() const { return message_; }
    std::size_t position() const { return position_; }
    std::size_t remaining() const { return message_.size() - position_; }

    std::optional<std::uint8_t> u8() {
        if (remaining() < 1) {
            return std::nullopt;
        }
        return byteAt(message_, position_++);
    }

    std::optional<std::uint16_t> u16() {
        if (remaining() < 2) {
            return std::nullopt;
        }
        const std::uint16_t value = u16At(message_, position_);
        position_ += 2;
        return value;
    }

    std::optional<std::uint32_t> u32() {
        if (remaining() < 4) {
            return std::nullopt;
        }
        const std::uint32_t value =
            (std::uint32_t{u16At(message_, position_)} << 16) | u16At(message_, position_ + 2);
        position_ += 4;
        return value;
    }

    // The next count octets, the cursor past them.
    std::optional<DnsBytes> bytes(std::size_t count) {
        if (remaining() < count) {
            return std::nullopt;
        }
        const DnsBytes taken = message_.subspan(position_, count);
        position_ += count;
        return taken;
    }

    bool skip(std::size_t count) { return bytes(count).has_value(); }

    // Skips one name without following its pointer, if it ends in one.
    bool skipName() {
        std::size_t at = position_;
        for (std::size_t labels = 0; labels < kMaxWalkLabels; ++labels) {
            if (at >= message_.size()) {
                return false;
            }
            const std::uint8_t length = byteAt(message_, at);
            if (length == 0) {
                position_ = at + 1;
                return true;
            }
            if ((length & kPointerMark) == kPointerMark) {
                if (message_.size() - at < kPointerSize) {
                    return false;
                }
                position_ = at + kPointerSize;
                return true;
            }
            // 0x40 and 0x80 mark label types nobody sends: not a length to skip.
            if (length > kMaxLabelLength) {
                return false;
            }
            at += 1 + length;
        }
        return false;
    }

    // The name here, compression pointers followed, as dotted text into out
    // (labels as they are, case kept); the cursor goes just past where it
    // starts. None when it is malformed, loops or is longer than kMaxNameWire.
    std::optional<std::size_t> name(std::span<char, kMaxNameWire> out) {
        std::size_t length = 0;
        const bool read = walkName([&](DnsBytes label) {
            if (length != 0) {
                out[length++] = '.';
            }
            std::memcpy(out.data() + length, label.data(), label.size());
            length += label.size();
        });
        return read ? std::optional<std::size_t>(length) : std::nullopt;
    }

    // The same name in wire form, written out whole (no pointers, the root
    // octet last): the length of what went into out, or none.
    std::optional<std::size_t> wireName(std::span<std::byte, kMaxNameWire> out) {
        std::size_t length = 0;
        const bool read = walkName([&](DnsBytes label) {
            out[length++] = std::byte(label.size());
            std::memcpy(out.data() + length, label.data(), label.size());
            length += label.size();
        });
        if (!read) {
            return std::nullopt;
        }
        out[length++] = std::byte{0};
        return length;
    }

    // A record's name and fixed part; its data is left unread (and unchecked:
    // end may lie past the message).
    std::optional<RecordHeader> record() {
        WireReader ahead = *this;
        if (!ahead.skipName()) {
            return std::nullopt;
        }
        const auto header = ahead.recordFixedPart();
        if (header) {
            *this = ahead;
        }
        return header;
    }

    // The fixed part of a record whose name the cursor has just passed.
    std::optional<RecordHeader> recordFixedPart() {
        if (remaining() < kRecordFixedSize) {
            return std::nullopt;
        }
        RecordHeader header{};
        header.type = static_cast<RecordType>(*u16());
        header.recordClass = *u16();
        header.ttl = *u32();
        header.dataLength = *u16();
        header.data = position_;
        header.end = position_ + header.dataLength;
        return header;
    }

  private:
    // Calls onLabel with each label of the name here but the root; moves the
    // cursor past the name only when all of it reads. Every pointer must go
    // backwards, so a chain of them ends, and the labels with the root octet
    // fit kMaxNameWire, so out never overflows.
    template <typename OnLabel>
    bool walkName(OnLabel&& onLabel) {
        std::size_t wire = 0;
        std::optional<std::size_t> next;
        std::size_t at = position_;
        std::size_t limit = at;
        for (std::size_t steps = 0; steps < kMaxWalkLabels * 2; ++steps) {
            if (at >= message_.size()) {
                return false;
            }
            const std::uint8_t label = byteAt(message_, at);
            if ((label & kPointerMark) == kPointerMark) {
                if (message_.size() - at < kPointerSize) {
                    return false;
                }
                const std::size_t target = u16At(message_, at) & kPointerOffsetMask;
                if (!next) {
                    next = at + kPointerSize;
                }
                if (target >= limit) {
                    return false;
                }
                limit = target;
                at = target;
                continue;
            }
            if (label > kMaxLabelLength) {
                return false;
            }
            if (label == 0) {
                position_ = next.value_or(at + 1);
                return true;
            }
            wire += 1 + label;
            if (wire + 1 > kMaxNameWire || message_.size() - at - 1 < label) {
                return false;
            }
            onLabel(message_.subspan(at + 1, label));
            at += 1 + label;
        }
        return false;
    }

    DnsBytes message_;
    std::size_t position_;
};

}  // namespace tranca

namespace tranca {

// The record whose name ends at nameEnd; none when its fixed part does not
// lie whole within message. Its data is not checked.
inline std::optional<RecordHeader> readRecordHeader(DnsBytes message, std::size_t nameEnd) {
    if (nameEnd > message.size()) {
        return std::nullopt;
    }
    return WireReader(message, nameEnd).recordFixedPart();
}

}  // namespace tranca
