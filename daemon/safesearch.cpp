#include "daemon/safesearch.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "daemon/text.h"

namespace tranca {

namespace {

// Up to this many labels are examined; every rule looks at three at most.
constexpr std::size_t kLabelsKept = 4;

struct Labels {
    std::array<std::string_view, kLabelsKept> first{};
    std::size_t count = 0;
};

Labels splitLabels(std::string_view name) {
    Labels labels;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string_view::npos) {
            dot = name.size();
        }
        if (dot > start) {
            if (labels.count < kLabelsKept) {
                labels.first[labels.count] = name.substr(start, dot - start);
            }
            ++labels.count;
        }
        start = dot + 1;
    }
    return labels;
}

// name equals domain, or domain preceded by one of the given labels.
bool isDomainOrPrefixed(std::string_view name, std::string_view domain,
                        std::initializer_list<std::string_view> prefixes) {
    if (name == domain) {
        return true;
    }
    if (name.size() <= domain.size() || !name.ends_with(domain) ||
        name[name.size() - domain.size() - 1] != '.') {
        return false;
    }
    const std::string_view head = name.substr(0, name.size() - domain.size() - 1);
    for (const std::string_view prefix : prefixes) {
        if (head == prefix) {
            return true;
        }
    }
    return false;
}

// Empty labels are dropped before the rules look at the name, so the exact
// forms compare against the name rebuilt from its labels.
std::string_view joinedLabels(std::string_view lower, std::string& spare) {
    const bool clean = !lower.empty() && lower.front() != '.' && lower.back() != '.' &&
                       lower.find("..") == std::string_view::npos;
    if (clean) {
        return lower;
    }
    spare.clear();
    std::size_t start = 0;
    while (start <= lower.size()) {
        std::size_t dot = lower.find('.', start);
        if (dot == std::string_view::npos) {
            dot = lower.size();
        }
        if (dot > start) {
            if (!spare.empty()) {
                spare += '.';
            }
            spare.append(lower.substr(start, dot - start));
        }
        start = dot + 1;
    }
    return spare;
}

}  // namespace

std::optional<std::string_view> safeHost(std::string_view name) {
    thread_local std::string lowered;
    thread_local std::string spare;
    std::string_view lower = name;
    bool needsLower = false;
    for (const char c : name) {
        if ((c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80) {
            needsLower = true;
            break;
        }
    }
    if (needsLower) {
        text::lowercaseInto(name, lowered);
        lower = lowered;
    }
    const Labels labels = splitLabels(lower);
    if (labels.count < 2) {
        return std::nullopt;
    }
    if (labels.first[0] == "google" ||
        (labels.count >= 3 && labels.first[0] == "www" && labels.first[1] == "google")) {
        return safehosts::kGoogle;
    }
    const std::string_view whole = joinedLabels(lower, spare);
    if (isDomainOrPrefixed(whole, "bing.com", {"www"})) {
        return safehosts::kBing;
    }
    if (isDomainOrPrefixed(whole, "duckduckgo.com", {"www", "start"})) {
        return safehosts::kDuckDuckGo;
    }
    return std::nullopt;
}

SafeSearch& SafeSearch::shared() {
    static SafeSearch instance(resolveIpv4);
    return instance;
}

SafeSearch::SafeSearch(Resolver resolver) : resolver_(std::move(resolver)) {
    ips_.emplace(std::string(safehosts::kGoogle), safehosts::kGoogleBuiltIn);
    ips_.emplace(std::string(safehosts::kBing), safehosts::kBingBuiltIn);
}

void SafeSearch::refresh() {
    for (const std::string_view host :
         {safehosts::kGoogle, safehosts::kBing, safehosts::kDuckDuckGo}) {
        const std::optional<Ipv4> address = resolver_(host);
        if (!address || *address == Ipv4{0, 0, 0, 0}) {
            continue;
        }
        const std::lock_guard<std::mutex> guard(lock_);
        ips_.insert_or_assign(std::string(host), *address);
    }
}

std::optional<Ipv4> SafeSearch::addressOf(std::string_view host) const {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = ips_.find(host);
    if (found == ips_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<Ipv4> resolveIpv4(std::string_view host) {
    const std::string name(host);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0) {
        return std::nullopt;
    }
    std::optional<Ipv4> address;
    if (results != nullptr && results->ai_addr != nullptr &&
        results->ai_addr->sa_family == AF_INET &&
        results->ai_addrlen >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, results->ai_addr, sizeof v4);
        Ipv4 bytes;
        std::memcpy(bytes.data(), &v4.sin_addr.s_addr, 4);
        address = bytes;
    }
    ::freeaddrinfo(results);
    return address;
}

}  // namespace tranca
