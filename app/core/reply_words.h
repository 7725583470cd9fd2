// The words of a reply on the daemon's wait socket, read on std::string_view
// with every bound checked: one home for the wait's and the notices' parsers.
#pragma once

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

namespace amparo::reply {

// Far beyond any wait, count or port the daemon sends, and small enough that
// minutes and hours made of it never overflow.
inline constexpr long long kMaxNumber = 1'000'000'000;
inline constexpr std::size_t kMaxNumberDigits = 10;

inline std::optional<long long> number(std::string_view text) {
    if (text.empty() || text.size() > kMaxNumberDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value <= kMaxNumber ? std::optional(value) : std::nullopt;
}

// No byte a terminal or a line reader would act on; UTF-8 passes.
inline bool isPrintable(std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// The line's first word and what follows its space.
inline std::pair<std::string_view, std::string_view> splitWord(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return {line, {}};
    }
    return {line.substr(0, space), line.substr(space + 1)};
}

// The next whole line of text, taken off its front; none when what is left
// has no line break.
inline std::optional<std::string_view> takeLine(std::string_view& text) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return line;
}

}  // namespace amparo::reply
