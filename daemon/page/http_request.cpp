#include "daemon/page/http_request.h"

#include "daemon/text.h"

namespace tranca {

namespace {

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == ':';
}

// Characters a request may start with: those of a method name (an HTTP
// token) and the line ends of empty lines a client may send first.
bool mayStartRequest(char c) {
    constexpr std::string_view kOthers = "!#$%&'*+-.^_`|~\r\n";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kOthers.find(c) != std::string_view::npos;
}

}  // namespace

std::string sanitizeHost(std::string_view host) {
    std::string kept;
    kept.reserve(host.size());
    for (const char c : host) {
        if (isHostCharacter(c)) {
            kept += c;
        }
    }
    return kept;
}

std::optional<std::string_view> findHostHeader(std::string_view request) {
    std::size_t start = 0;
    while (start < request.size()) {
        const std::size_t end = request.find("\r\n", start);
        const std::string_view line = request.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        constexpr std::string_view kHost = "host:";
        if (text::startsWithIgnoringAsciiCase(line, kHost)) {
            return text::trimBlanks(line.substr(kHost.size()));
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 2;
    }
    return std::nullopt;
}

std::string_view shownHost(std::span<char> received) {
    const std::string_view request(received.data(), received.size());
    if (request.empty() || !text::isValidUtf8(request)) {
        return kFallbackHost;
    }
    const std::optional<std::string_view> host = findHostHeader(request);
    if (!host) {
        return kFallbackHost;
    }
    // Sanitizing only drops characters, so the result fits where the value
    // was: compact it there instead of allocating.
    char* const out = received.data() + (host->data() - request.data());
    std::size_t kept = 0;
    for (const char c : *host) {
        if (isHostCharacter(c)) {
            out[kept++] = c;
        }
    }
    return std::string_view(out, kept);
}

bool requestHeadEnded(std::string_view received, std::size_t from) {
    if (received.empty()) {
        return false;
    }
    if (!mayStartRequest(received.front())) {
        return true;
    }
    const std::string_view fresh = received.substr(from >= 3 ? from - 3 : 0);
    return fresh.find("\r\n\r\n") != std::string_view::npos ||
           fresh.find("\n\n") != std::string_view::npos;
}

bool headRequest(std::string_view request) {
    const std::size_t start = request.find_first_not_of("\r\n");
    return start != std::string_view::npos && request.substr(start).starts_with("HEAD ");
}

}  // namespace tranca
