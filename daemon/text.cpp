#include "daemon/text.h"

#include <charconv>

#include <locale.h>
#include <wctype.h>

#include <cstdint>

namespace tranca::text {

namespace {

// Decodes one code point at text[at]; returns its length, 0 when invalid, and
// then sets invalidLength (when given) to the bytes that were still allowed.
std::size_t decode(std::string_view text, std::size_t at, char32_t& out,
                   std::size_t* invalidLength = nullptr) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[at + i]); };
    const std::size_t left = text.size() - at;
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    // The lead byte narrows the range of the second one: that rules out
    // overlong forms, surrogates and values past U+10FFFF, and tells where an
    // ill-formed sequence ends.
    std::size_t length = 0;
    char32_t value = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, value = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, value = lead & 0x0f;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, value = lead & 0x07;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        if (invalidLength != nullptr) {
            *invalidLength = 1;
        }
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= left || byte(i) < low || byte(i) > high) {
            if (invalidLength != nullptr) {
                *invalidLength = i;
            }
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3f);
        low = 0x80;
        high = 0xbf;
    }
    out = value;
    return length;
}

void encode(char32_t value, std::string& out) {
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else if (value < 0x800) {
        out += static_cast<char>(0xc0 | (value >> 6));
        out += static_cast<char>(0x80 | (value & 0x3f));
    } else if (value < 0x10000) {
        out += static_cast<char>(0xe0 | (value >> 12));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (value & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (value >> 18));
        out += static_cast<char>(0x80 | ((value >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (value & 0x3f));
    }
}

bool isBlankCodePoint(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) ||
           c == 0x202f || c == 0x205f || c == 0x3000;
}

// Length of the blank ending at text[end - 1], 0 when that is not a blank.
std::size_t blankLengthBefore(std::string_view text, std::size_t end) {
    for (std::size_t length = 1; length <= 3 && length <= end; ++length) {
        char32_t c;
        if (decode(text, end - length, c) == length) {
            return isBlankCodePoint(c) ? length : 0;
        }
    }
    return 0;
}

locale_t utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t& out) {
    return decode(text, at, out);
}

void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes) {
    constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::size_t at = 0;
    while (at < bytes.size()) {
        char32_t ignored;
        std::size_t invalid = 1;
        const std::size_t length = decode(bytes, at, ignored, &invalid);
        if (length != 0) {
            out.append(bytes.substr(at, length));
            at += length;
        } else {
            out += kReplacement;
            at += invalid;
        }
    }
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (static_cast<std::uint8_t>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        char32_t ignored;
        const std::size_t length = decode(bytes, at, ignored);
        if (length == 0) {
            return false;
        }
        at += length;
    }
    return true;
}

std::size_t terminatorLengthAt(std::string_view text, std::size_t at, bool* needMore) {
    if (needMore != nullptr) {
        *needMore = false;
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    switch (lead) {
        case '\n':
        case '\v':
        case '\f':
            return 1;
        case '\r':
            if (at + 1 < text.size()) {
                return byte(at + 1) == '\n' ? 2 : 1;
            }
            if (needMore != nullptr) {
                *needMore = true;  // the LF may follow in the next chunk
            }
            return 1;
        case 0xc2:
            if (at + 1 >= text.size()) {
                if (needMore != nullptr) {
                    *needMore = true;
                }
                return 0;
            }
            return byte(at + 1) == 0x85 ? 2 : 0;
        case 0xe2:
            if (at + 2 >= text.size()) {
                if (needMore != nullptr) {
                    *needMore = at + 1 >= text.size() || byte(at + 1) == 0x80;
                }
                return 0;
            }
            return (byte(at + 1) == 0x80 && (byte(at + 2) == 0xa8 || byte(at + 2) == 0xa9)) ? 3 : 0;
        default:
            return 0;
    }
}

std::string_view trimBlanks(std::string_view line) {
    std::size_t start = 0;
    while (start < line.size()) {
        char32_t c;
        const std::size_t length = decode(line, start, c);
        if (length == 0 || !isBlankCodePoint(c)) {
            break;
        }
        start += length;
    }
    std::size_t end = line.size();
    while (end > start) {
        const std::size_t length = blankLengthBefore(line.substr(start), end - start);
        if (length == 0) {
            break;
        }
        end -= length;
    }
    return line.substr(start, end - start);
}

void lowercaseInto(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<std::uint8_t>(text[at]);
        if (byte < 0x80) {
            out += asciiLower(static_cast<char>(byte));
            ++at;
            continue;
        }
        char32_t c;
        const std::size_t length = decode(text, at, c);
        if (length == 0) {
            out += text[at];  // not UTF-8: keep the byte as it is
            ++at;
            continue;
        }
        const locale_t locale = utf8Locale();
        const auto lowered = locale != static_cast<locale_t>(0)
                                 ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale))
                                 : c;
        encode(lowered, out);
        at += length;
    }
}

std::string lowercase(std::string_view text) {
    std::string out;
    lowercaseInto(text, out);
    return out;
}

std::size_t utf8CutAt(std::string_view text, std::size_t at) {
    std::size_t cut = std::min(at, text.size());
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

std::string oneLine(std::string_view text, std::size_t maxBytes) {
    std::string clean;
    clean.reserve(std::min(text.size(), maxBytes));
    for (const char c : text.substr(0, utf8CutAt(text, maxBytes))) {
        const auto byte = static_cast<unsigned char>(c);
        clean.push_back(byte < 0x20 || byte == 0x7f ? ' ' : c);
    }
    return clean;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::int64_t value = 0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (text.empty() || error != std::errc() || end != last) {
        return std::nullopt;
    }
    return value;
}

}  // namespace tranca::text
