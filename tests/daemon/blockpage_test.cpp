#include "daemon/blockpage.h"

#include <gtest/gtest.h>

#include "daemon/block_template.h"
#include "tests/daemon/support.h"

namespace tranca {
namespace {

std::string shown(std::string request) {
    return std::string(shownHost(std::span<char>(request.data(), request.size())));
}

using testing::countOf;

struct Split {
    std::string_view header;
    std::string_view body;
};
Split split(std::string_view response) {
    const auto end = response.find("\r\n\r\n");
    EXPECT_NE(end, std::string_view::npos);
    return {response.substr(0, end + 4), response.substr(end + 4)};
}

TEST(HostHeader, FirstHostLineOfAUtf8RequestOrTheFallback) {
    const std::pair<std::string, std::string_view> rows[] = {
        {"GET / HTTP/1.1\r\nhost:a.example\r\nHost: b.example\r\n\r\n", "a.example"},
        {"GET / HTTP/1.1\r\nHOST: \t  Example.ORG  \t\r\n\r\n", "Example.ORG"},
        {"GET / HTTP/1.1\r\nUser-Agent: x\r\nHoSt: a.example:8080\r\n\r\n", "a.example:8080"},
        {"GET / HTTP/1.1\r\nHost: a.example", "a.example"},  // no terminator yet
        {"GET / HTTP/1.1\r\nHost: <img src=x onerror=alert(1)>\r\n\r\n", "imgsrcxonerroralert1"},
        {"GET / HTTP/1.1\nHost: a.example\n\n", "el sitio"},  // bare line feeds
        {"", "el sitio"},
        {"GET / HTTP/1.0\r\n\r\n", "el sitio"},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "el sitio"},  // TLS
        {"GET / HTTP/1.1\r\nHost: a\xe9.example\r\n\r\n", "el sitio"},
        {"GET / HTTP/1.1\r\nX-Host: a.example\r\n\r\n", "el sitio"},
    };
    for (const auto& [request, host] : rows) {
        EXPECT_EQ(shown(request), host) << request;
    }
    EXPECT_EQ(findHostHeader("GET /host:x HTTP/1.1\r\nHost: y\r\n"), "y");
    EXPECT_EQ(findHostHeader("\r\n\r\nhost:\r\n"), "");
    EXPECT_EQ(findHostHeader("Hos"), std::nullopt);
}

TEST(SanitizeHost, KeepsExactlyTheSixtyFiveHostCharacters) {
    EXPECT_EQ(sanitizeHost("<script>x</script>.com"), "scriptxscript.com");
    EXPECT_EQ(sanitizeHost("Ex-ample.ORG:8080"), "Ex-ample.ORG:8080");
    EXPECT_EQ(sanitizeHost("\"a'b` c/d\\e&f;g(h)[i]{j}\t\xc3\xb1.\xe2\x80\x8b"), "abcdefghij.");
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all += static_cast<char>(c);
    }
    EXPECT_EQ(sanitizeHost(all),
              "-.0123456789:ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
}

TEST(PageResponse, OneHostPillAndNoPlaceholderLeftInAClosedResponse) {
    const std::string response = blockPageResponse("GET / HTTP/1.1\r\nHost: a.example\r\n", "");
    const auto [header, body] = split(response);
    EXPECT_EQ(header,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  std::to_string(body.size()) +
                  "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(countOf(body, "class=\"host\""), 1u);
    EXPECT_EQ(countOf(body, ">a.example</p>"), 1u);
    EXPECT_EQ(countOf(body, "{{"), 0u);
    EXPECT_NE(body.find("src=\"data:image/png;base64," + std::string(logoPngBase64()) + "\""),
              std::string_view::npos);
    EXPECT_NE(body.find("href=\"" + std::string(kDonationUrl) + "\""), std::string_view::npos);
}

TEST(PageResponse, RequestBeyondOneReadIsCutAtTheLimit) {
    // The Host line sits past the 16384 bytes a single read takes.
    const std::string request =
        "GET / HTTP/1.1\r\nX-Pad: " + std::string(kMaxRequestBytes, 'a') + "\r\nHost: late\r\n";
    EXPECT_NE(blockPageResponse(request, "").find(">el sitio</p>"), std::string::npos);
}

TEST(PageTemplate, EachPlaceholderFilledOnceAndPageSelfContained) {
    const std::string& page = pageTemplate();
    EXPECT_EQ(countOf(page, "{{HOST}}"), 1u);
    EXPECT_EQ(countOf(page, "{{LOGO}}"), 0u);
    EXPECT_EQ(countOf(page, "{{DONATE}}"), 0u);
    EXPECT_EQ(countOf(page, std::string(logoPngBase64())), 1u);
    // Nothing is fetched from elsewhere: no remote script, style, image or font.
    EXPECT_EQ(countOf(page, "src=\"http"), 0u);
    EXPECT_EQ(countOf(page, "url("), 0u);
    EXPECT_EQ(countOf(page, "@import"), 0u);
    EXPECT_EQ(countOf(page, "<link"), 0u);
}

TEST(PageHeader, LargestLengthFits) {
    std::array<char, kPageHeaderCapacity> out{};
    const std::string_view header = pageResponseHeader(SIZE_MAX, out);
    EXPECT_NE(header.find(std::to_string(SIZE_MAX)), std::string_view::npos);
}

}  // namespace
}  // namespace tranca
