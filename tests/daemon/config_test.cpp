#include "daemon/config.h"

#include <gtest/gtest.h>

namespace tranca {
namespace {

TEST(PortParsing, AcceptsOnlySignedDecimalInRange) {
    struct Row {
        std::optional<std::string_view> text;
        std::uint16_t expected;
    };
    const Row rows[] = {
        {std::nullopt, 53}, {"5353", 5353},   {"+5300", 5300},   {"-0", 0},
        {"0", 0},           {"65535", 65535}, {"65536", 53},     {"70000", 53},
        {"", 53},           {"+", 53},        {"-", 53},         {"-1", 53},
        {" 53", 53},        {"53 ", 53},      {"0x35", 53},      {"5e3", 53},
        {"++5", 53},        {"letters", 53},  {"00053", 53 * 1}, {"999999999999", 53},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(parsePort(row.text, 53), row.expected) << (row.text ? *row.text : "<unset>");
    }
    EXPECT_EQ(parsePort("abc", 80), 80);
}

TEST(DaemonConfigFromEnvironment, EmptyVariablesAreUsedUnchanged) {
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DIR", ""},
                                          {"TRANCAD_REDIRECT", ""},
                                          {"TRANCAD_PORT", "+5300"},
                                          {"TRANCAD_HTTP", "-0"}},
                                         {});
    completeDaemonConfig(config);
    EXPECT_EQ(config.dataDirectory, "");
    EXPECT_EQ(config.blocklistPath, "/blocklist.txt");
    EXPECT_EQ(config.defaultRedirect, "");
    EXPECT_EQ(config.dnsPort, 5300);
    EXPECT_EQ(config.httpPort, 0);
}

TEST(DaemonConfigFromEnvironment, CaptureKeepsValuesWithEqualsSigns) {
    char first[] = "TRANCAD_REDIRECT=https://x.example/?a=b";
    char second[] = "NOEQUALS";
    char third[] = "TRANCAD_DIR=/tmp/a";
    char* envp[] = {first, second, third, nullptr};
    const Environment environment = captureEnvironment(envp);
    EXPECT_EQ(environment.at("TRANCAD_REDIRECT"), "https://x.example/?a=b");
    EXPECT_EQ(environment.at("TRANCAD_DIR"), "/tmp/a");
    EXPECT_EQ(environment.count("NOEQUALS"), 0u);
}

TEST(UrlCheck, AcceptsOnlyAbsoluteHttpUrlsWithAHost) {
    EXPECT_TRUE(isUsableUrl("https://1.1.1.3/dns-query"));
    EXPECT_TRUE(isUsableUrl("http://example.com"));
    EXPECT_FALSE(isUsableUrl("https:///path"));
    EXPECT_FALSE(isUsableUrl("ftp://example.com/"));
    EXPECT_FALSE(isUsableUrl("https://exa mple.com/"));
}

}  // namespace
}  // namespace tranca
