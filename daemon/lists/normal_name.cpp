#include "daemon/lists/normal_name.h"

#include <algorithm>

#include "daemon/text.h"

namespace tranca {

namespace {

// Compacts name[0, length) in place without empty labels; returns the length left.
std::size_t dropEmptyLabels(char* name, std::size_t length) {
    std::size_t kept = 0;
    for (std::size_t at = 0; at < length; ++at) {
        if (name[at] == '.' && (kept == 0 || name[kept - 1] == '.')) {
            continue;
        }
        name[kept++] = name[at];
    }
    if (kept > 0 && name[kept - 1] == '.') {
        --kept;
    }
    return kept;
}

// ASCII with no capital letter and no empty label.
bool isNormal(std::string_view name) {
    char previous = '.';  // so a leading dot reads as an empty label
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80 || (c >= 'A' && c <= 'Z') ||
            (c == '.' && previous == '.')) {
            return false;
        }
        previous = c;
    }
    return name.empty() || previous != '.';
}

}  // namespace

void normaliseNameInto(std::string_view name, std::string& out) {
    if (text::isAscii(name)) {
        out.assign(name);
        for (char& c : out) {
            c = text::asciiLower(c);
        }
    } else {
        text::lowercaseInto(name, out);
    }
    out.resize(dropEmptyLabels(out.data(), out.size()));
}

std::string_view normalName(std::string_view name, std::span<char> buffer, std::string& spill) {
    if (isNormal(name)) {
        return name;
    }
    if (name.size() <= buffer.size() && text::isAscii(name)) {
        std::transform(name.begin(), name.end(), buffer.begin(), text::asciiLower);
        return {buffer.data(), dropEmptyLabels(buffer.data(), name.size())};
    }
    normaliseNameInto(name, spill);
    return spill;
}

}  // namespace tranca
