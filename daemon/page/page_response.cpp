#include "daemon/page/page_response.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "daemon/page/block_template.h"
#include "daemon/page/http_request.h"

namespace tranca {

std::string redirectResponse(std::string_view url) {
    std::string response;
    response.reserve(url.size() + 128);
    response += "HTTP/1.1 302 Found\r\nLocation: ";
    response += url;
    response +=
        "\r\nReferrer-Policy: no-referrer\r\nContent-Length: 0\r\nCache-Control: "
        "no-store\r\nConnection: close\r\n\r\n";
    return response;
}

std::string_view pageResponseHeader(std::size_t bodyBytes,
                                    std::array<char, kPageHeaderCapacity>& out) {
    constexpr std::string_view kBefore =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ";
    constexpr std::string_view kAfter = "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    static_assert(kBefore.size() + 20 + kAfter.size() <= kPageHeaderCapacity);
    char* at = std::copy(kBefore.begin(), kBefore.end(), out.data());
    at = std::to_chars(at, out.data() + out.size(), bodyBytes).ptr;
    at = std::copy(kAfter.begin(), kAfter.end(), at);
    return std::string_view(out.data(), static_cast<std::size_t>(at - out.data()));
}

std::string blockPageResponse(std::string_view received, std::string_view url) {
    if (!url.empty()) {
        return redirectResponse(url);
    }
    std::string request(received.substr(0, kMaxRequestBytes));
    const bool head = headRequest(request);
    const std::string_view host = shownHost(std::span<char>(request.data(), request.size()));
    const PageParts& page = pageParts();
    std::array<char, kPageHeaderCapacity> header{};
    std::string response(
        pageResponseHeader(page.head.size() + host.size() + page.tail.size(), header));
    if (head) {
        return response;
    }
    response += page.head;
    response += host;
    response += page.tail;
    return response;
}

}  // namespace tranca
