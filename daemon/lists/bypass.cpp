#include "daemon/lists/bypass.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "daemon/text.h"

namespace tranca {

namespace {

// Firefox's canary switches its automatic DNS-over-HTTPS off; Apple's relay
// (iCloud Private Relay) stays off when its two names do not resolve.
constexpr std::array<std::string_view, 3> kCanaries = {
    "use-application-dns.net",
    "mask.icloud.com",
    "mask-h2.icloud.com",
};

constexpr std::string_view kResolverEntries[] = {
#include "daemon/encrypted_resolvers.inc"
};

constexpr auto sortedEntries() {
    std::array<std::string_view, std::size(kResolverEntries)> entries{};
    std::copy(std::begin(kResolverEntries), std::end(kResolverEntries), entries.begin());
    std::sort(entries.begin(), entries.end());
    return entries;
}

constexpr auto kResolvers = sortedEntries();

constexpr bool allLowerCase() {
    for (const std::string_view entry : kResolverEntries) {
        for (const char c : entry) {
            if (c >= 'A' && c <= 'Z') {
                return false;
            }
        }
    }
    return true;
}
static_assert(allLowerCase(), "the resolver list is matched in lower case");

bool listed(std::string_view lowered) {
    return std::binary_search(kResolvers.begin(), kResolvers.end(), lowered);
}

}  // namespace

BypassName classifyBypassName(std::string_view name) {
    // Longer names are no one's resolver; a wire name never exceeds this.
    char buffer[256];
    if (name.size() > sizeof buffer || !text::isAscii(name)) {
        return BypassName::none;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        buffer[i] = text::asciiLower(name[i]);
    }
    const std::string_view lowered(buffer, name.size());
    if (std::find(kCanaries.begin(), kCanaries.end(), lowered) != kCanaries.end()) {
        return BypassName::canary;
    }
    if (listed(lowered)) {
        return BypassName::encryptedResolver;
    }
    // "*.parent" entries: every name under parent.
    char wildcard[258] = {'*'};
    for (std::size_t dot = lowered.find('.'); dot != std::string_view::npos;
         dot = lowered.find('.', dot + 1)) {
        const std::string_view parent = lowered.substr(dot);
        std::copy(parent.begin(), parent.end(), wildcard + 1);
        if (listed(std::string_view(wildcard, parent.size() + 1))) {
            return BypassName::encryptedResolver;
        }
    }
    return BypassName::none;
}

}  // namespace tranca
