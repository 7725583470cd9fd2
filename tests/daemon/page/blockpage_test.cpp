#include "daemon/page/http_request.h"

#include <gtest/gtest.h>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

std::string shown(std::string request) {
    return std::string(shownHost(std::span<char>(request.data(), request.size())));
}

TEST(HostHeader, FirstHostLineOfAUtf8RequestOrTheFallback) {
    const std::pair<std::string, std::string_view> rows[] = {
        {"GET / HTTP/1.1\r\nhost:a.example\r\nHost: b.example\r\n\r\n", "a.example"},
        {"GET / HTTP/1.1\r\nHOST: \t  Example.ORG  \t\r\n\r\n", "Example.ORG"},
        {"GET / HTTP/1.1\r\nUser-Agent: x\r\nHoSt: my-site.example:8080\r\n\r\n",
         "my-site.example:8080"},
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

}  // namespace
}  // namespace tranca
