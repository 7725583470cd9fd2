#include "daemon/blockpage.h"

#include <gtest/gtest.h>

#include "daemon/block_template.h"

namespace tranca {
namespace {

std::string shown(std::string request) {
    return std::string(shownHost(std::span<char>(request.data(), request.size())));
}

std::size_t count(std::string_view text, std::string_view part) {
    std::size_t found = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
        ++found;
    }
    return found;
}

struct Split {
    std::string_view header;
    std::string_view body;
};
Split split(std::string_view response) {
    const auto end = response.find("\r\n\r\n");
    EXPECT_NE(end, std::string_view::npos);
    return {response.substr(0, end + 4), response.substr(end + 4)};
}

TEST(HostHeader, FirstHostLineWinsWhateverItsCaseAndBlanks) {
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nhost:a.example\r\nHost: b.example\r\n\r\n"), "a.example");
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nHOST: \t  Example.ORG  \t\r\n\r\n"), "Example.ORG");
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nUser-Agent: x\r\nHoSt: a.example:8080\r\n\r\n"),
              "a.example:8080");
}

TEST(HostHeader, BareLineFeedsDoNotEndLines) {
    EXPECT_EQ(shown("GET / HTTP/1.1\nHost: a.example\n\n"), "el sitio");
}

TEST(HostHeader, LastLineWithoutTerminatorStillCounts) {
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nHost: a.example"), "a.example");
}

TEST(HostHeader, NoBytesNoHostLineOrNotUtf8GiveTheFallback) {
    EXPECT_EQ(shown(""), "el sitio");
    EXPECT_EQ(shown("GET / HTTP/1.0\r\n\r\n"), "el sitio");
    // The start of a TLS ClientHello sent to the plain port.
    EXPECT_EQ(shown(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)), "el sitio");
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nHost: a\xe9.example\r\n\r\n"), "el sitio");
    // "Hosted:" is not a Host line, and neither is a value before the name.
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nX-Host: a.example\r\n\r\n"), "el sitio");
}

TEST(HostHeader, HeaderNameIsMatchedOnlyAtTheStartOfALine) {
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

TEST(SanitizeHost, ShownHostIsSanitized) {
    EXPECT_EQ(shown("GET / HTTP/1.1\r\nHost: <img src=x onerror=alert(1)>\r\n\r\n"),
              "imgsrcxonerroralert1");
}

TEST(PageResponse, ContentLengthCountsBytesOfTheBody) {
    const std::string response =
        blockPageResponse("GET / HTTP/1.1\r\nHost: Example.ORG\r\n\r\n", "");
    const auto [header, body] = split(response);
    EXPECT_EQ(header,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                  std::to_string(body.size()) +
                  "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n");
    // The page has non-ASCII text, so bytes and characters differ.
    EXPECT_NE(body.find("está bloqueado"), std::string_view::npos);
    EXPECT_EQ(body, renderPage("Example.ORG"));
}

TEST(PageResponse, OneHostPillAndNoPlaceholderLeft) {
    const std::string response = blockPageResponse("GET / HTTP/1.1\r\nHost: a.example\r\n", "");
    const std::string_view body = split(response).body;
    EXPECT_EQ(count(body, "class=\"host\""), 1u);
    EXPECT_EQ(count(body, ">a.example</p>"), 1u);
    EXPECT_EQ(count(body, "{{"), 0u);
    EXPECT_NE(body.find("src=\"data:image/png;base64," + std::string(logoPngBase64()) + "\""),
              std::string_view::npos);
    EXPECT_NE(body.find("href=\"" + std::string(kDonationUrl) + "\""), std::string_view::npos);
}

TEST(PageResponse, FallbackHostIsShownUnchanged) {
    const std::string response = blockPageResponse("", "");
    EXPECT_NE(response.find(">el sitio</p>"), std::string::npos);
}

TEST(PageResponse, RequestBeyondOneReadIsCutAtTheLimit) {
    // The Host line sits past the 16384 bytes a single read takes.
    const std::string request =
        "GET / HTTP/1.1\r\nX-Pad: " + std::string(kMaxRequestBytes, 'a') + "\r\nHost: late\r\n";
    EXPECT_NE(blockPageResponse(request, "").find(">el sitio</p>"), std::string::npos);
}

TEST(RedirectResponse, ExactBytesAndDestinationUnchanged) {
    const std::string url = "https://ayuda.example/p?a=1&b=%2F";
    EXPECT_EQ(blockPageResponse("DELETE /x HTTP/1.1\r\nHost: blocked.example\r\n\r\n", url),
              "HTTP/1.1 302 Found\r\nLocation: https://ayuda.example/p?a=1&b=%2F\r\n"
              "Referrer-Policy: no-referrer\r\nContent-Length: 0\r\nCache-Control: no-store\r\n"
              "Connection: close\r\n\r\n");
}

TEST(PageTemplate, EachPlaceholderFilledOnceAndPageSelfContained) {
    const std::string& page = pageTemplate();
    EXPECT_EQ(count(page, "{{HOST}}"), 1u);
    EXPECT_EQ(count(page, "{{LOGO}}"), 0u);
    EXPECT_EQ(count(page, "{{DONATE}}"), 0u);
    EXPECT_EQ(count(page, std::string(logoPngBase64())), 1u);
    // Nothing is fetched from elsewhere: no remote script, style, image or font.
    EXPECT_EQ(count(page, "src=\"http"), 0u);
    EXPECT_EQ(count(page, "url("), 0u);
    EXPECT_EQ(count(page, "@import"), 0u);
    EXPECT_EQ(count(page, "<link"), 0u);
    EXPECT_NE(page.find("<html lang=\"es\">"), std::string::npos);
    EXPECT_NE(page.find("<title>Sitio bloqueado — Amparo</title>"), std::string::npos);
    EXPECT_NE(page.find("animation:breathe 7s ease-in-out infinite"), std::string::npos);
    EXPECT_NE(page.find("setInterval(siguiente, 15000)"), std::string::npos);
}

TEST(PageTemplate, FourteenQuotesInTheirRoles) {
    const std::string& page = pageTemplate();
    const auto start = page.find("var frases = [");
    const auto end = page.find("];", start);
    ASSERT_NE(start, std::string::npos);
    const std::string_view list = std::string_view(page).substr(start, end - start);
    EXPECT_EQ(count(list, "\"],"), 13u);  // 14 entries, the last without a comma
    EXPECT_EQ(count(list, "\"Ánimo\"]"), 5u);
    EXPECT_EQ(count(list, "\"Oración\"]"), 1u);
    EXPECT_EQ(count(list, "\"San ") + count(list, "\"Santa "), 5u);
    EXPECT_EQ(count(list, " — "), 1u);  // one verse names its speaker
}

TEST(PageTemplate, LogoIsA96PixelPng) {
    const std::string_view logo = logoPngBase64();
    // "\x89PNG\r\n\x1a\n" then the IHDR chunk: width 96 (0x60), height 96.
    ASSERT_GT(logo.size(), 32u);
    EXPECT_EQ(logo.substr(0, 12), "iVBORw0KGgoA");
    EXPECT_EQ(logo.substr(16, 16), "SUhEUgAAAGAAAABg");
}

TEST(PageHeader, LargestLengthFits) {
    std::array<char, kPageHeaderCapacity> out{};
    const std::string_view header = pageResponseHeader(SIZE_MAX, out);
    EXPECT_NE(header.find(std::to_string(SIZE_MAX)), std::string_view::npos);
}

}  // namespace
}  // namespace tranca
