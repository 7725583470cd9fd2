#include "daemon/cli.h"

#include <gtest/gtest.h>

namespace tranca {
namespace {

using Args = std::vector<std::string>;

TEST(ArgumentDispatch, OnlyTwoArgumentsWithAKnownFlagSelectToolMode) {
    EXPECT_EQ(classifyArguments({}), ArgumentsKind::daemon);
    EXPECT_EQ(classifyArguments(Args{"--dns", "estado"}), ArgumentsKind::tool);
    EXPECT_EQ(classifyArguments(Args{"--proxy", "x"}), ArgumentsKind::tool);
    EXPECT_EQ(classifyArguments(Args{"--dns"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--bogus", "local"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--dns", "local", "extra"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--DNS", "local"}), ArgumentsKind::usage);
}

}  // namespace
}  // namespace tranca
