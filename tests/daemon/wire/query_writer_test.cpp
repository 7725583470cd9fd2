#include "daemon/wire/query_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

namespace tranca {
namespace {

TEST(QueryWriter, OneQuestionWithinTheNameLimits) {
    const auto query = buildQuery(0x1234, "a..Example.", RecordType::A);
    ASSERT_TRUE(query);
    // ID, RD alone, one question; empty labels skipped, case kept.
    constexpr char kWire[] =
        "\x12\x34\x01\0\0\x01\0\0\0\0\0\0"
        "\x01"
        "a\x07"
        "Example\0\0\x01\0\x01";
    EXPECT_TRUE(std::ranges::equal(*query, std::as_bytes(std::span(kWire, sizeof kWire - 1))));
    const std::string label(63, 'x');
    EXPECT_TRUE(buildQuery(1, label, RecordType::A));
    EXPECT_FALSE(buildQuery(1, label + "x", RecordType::A)) << "a 64-octet label";
    const std::string three = label + "." + label + "." + label + ".";
    EXPECT_TRUE(buildQuery(1, three + std::string(61, 'x'), RecordType::A)) << "255 octets";
    EXPECT_FALSE(buildQuery(1, three + std::string(62, 'x'), RecordType::A)) << "256 octets";
}

}  // namespace
}  // namespace tranca
