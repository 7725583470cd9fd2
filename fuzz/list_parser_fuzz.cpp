// Any bytes, cut into chunks at any places, must parse without reading out of
// bounds, and the chunked parse must equal the one-piece parse.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "daemon/lists/list_file.h"

namespace {

std::set<std::string> collect(const tranca::NameSet& set) {
    std::set<std::string> names;
    set.forEach([&](std::string_view name) { names.emplace(name); });
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = 1 + data[0] % 7;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const tranca::NameSet whole = tranca::parseListText(text);
    tranca::ListParser parser;
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        parser.feed(text.substr(at, chunk));
    }
    const tranca::NameSet pieces = parser.finish();
    if (collect(whole) != collect(pieces)) {
        __builtin_trap();
    }
    whole.forEach([&](std::string_view name) {
        if (!whole.contains(name) || name.empty()) {
            __builtin_trap();
        }
    });
    return 0;
}
