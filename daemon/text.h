// Small UTF-8 text rules shared by the daemon's text files (the lists and the
// block destination): which bytes end a line, which count as blanks, case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tranca::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Decodes the strict UTF-8 character starting at text[at] (at < text.size())
// into out; returns its length in bytes, 0 when the bytes there are not one.
std::size_t decodeUtf8(std::string_view text, std::size_t at, char32_t& out);

// Appends bytes to out with each ill-formed sequence replaced by U+FFFD (the
// usual "substitution of maximal subparts").
void appendReplacingInvalidUtf8(std::string& out, std::string_view bytes);

// Length of the line terminator starting at text[at] (LF, CR, VT, FF, U+0085,
// U+2028, U+2029), 0 when there is none. needMore is set when the bytes at the
// end could still become a terminator once more input arrives.
std::size_t terminatorLengthAt(std::string_view text, std::size_t at, bool* needMore = nullptr);

// The largest cut at or before at that does not split a UTF-8 character.
std::size_t utf8CutAt(std::string_view text, std::size_t at);

// text as one line of a file, a mail header or a socket reply: every ASCII
// control character (line breaks included) and DEL as a space, cut to at
// most maxBytes between UTF-8 characters.
std::string oneLine(std::string_view text, std::size_t maxBytes = std::string_view::npos);

// A whole decimal number ("-" allowed); nothing else around it.
std::optional<std::int64_t> parseInteger(std::string_view text);

// Strips tab and every Unicode space separator from both ends.
std::string_view trimBlanks(std::string_view line);

// Calls lineFn(line) for every line of a complete text, empty ones included.
template <typename LineFn>
void forEachLine(std::string_view text, LineFn&& lineFn) {
    std::size_t start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t terminator = terminatorLengthAt(text, at);
        if (terminator == 0) {
            ++at;
            continue;
        }
        lineFn(text.substr(start, at - start));
        at += terminator;
        start = at;
    }
    if (start < text.size()) {
        lineFn(text.substr(start));
    }
}

// Lower-cases into out (replacing its contents). ASCII is done in place; other
// characters go through the C library's Unicode case table.
void lowercaseInto(std::string_view text, std::string& out);
std::string lowercase(std::string_view text);

inline bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

inline char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// Equal once ASCII letters are lower-cased; every other byte must match as it
// is. Inline: the query decision calls it for every datagram.
inline bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

inline bool startsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace tranca::text
