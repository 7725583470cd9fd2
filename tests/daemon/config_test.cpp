#include "daemon/config.h"

#include <gtest/gtest.h>

#include "daemon/system/dns_settings.h"

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

// Every resolver the filter asks, or hands the machine to, filters adult
// sites itself: Cloudflare's family service, then OpenDNS FamilyShield.
TEST(FamilyResolvers, AreTheOnlyOnesAskedOrHandedOver) {
    DaemonConfig config;
    completeDaemonConfig(config);
    EXPECT_EQ(config.dohUpstreams,
              (std::vector<std::string>{"https://1.1.1.3/dns-query", "https://1.0.0.3/dns-query"}));
    EXPECT_EQ(config.plainUpstreams,
              (std::vector<std::string>{"1.1.1.3", "1.0.0.3", "208.67.222.123", "208.67.220.123"}));
    EXPECT_EQ(backupServers(),
              (std::vector<std::string>{"1.1.1.3", "1.0.0.3", "2606:4700:4700::1113",
                                        "2606:4700:4700::1003"}));
}

}  // namespace
}  // namespace tranca
