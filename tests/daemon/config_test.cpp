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

}  // namespace
}  // namespace tranca
