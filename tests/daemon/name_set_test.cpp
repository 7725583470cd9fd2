#include "daemon/name_set.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tranca {
namespace {

TEST(NameSet, FindsEveryInsertedNameThroughManyGrowths) {
    NameSet set;
    for (int i = 0; i < 20000; ++i) {
        EXPECT_TRUE(set.insert("n" + std::to_string(i) + ".example"));
    }
    EXPECT_EQ(set.size(), 20000u);
    for (int i = 0; i < 20000; ++i) {
        ASSERT_TRUE(set.contains("n" + std::to_string(i) + ".example")) << i;
    }
    EXPECT_FALSE(set.contains("n20000.example"));
    EXPECT_FALSE(set.contains("n1.exampl"));
    EXPECT_FALSE(set.contains(""));
}

TEST(NameSet, DuplicatesAndLongNamesAreHandled) {
    NameSet set;
    const std::string longName(70000, 'x');  // length needs a multi-byte prefix
    EXPECT_TRUE(set.insert(longName));
    EXPECT_FALSE(set.insert(longName));
    EXPECT_TRUE(set.insert(""));
    EXPECT_TRUE(set.insert(std::string("nul\0inside", 10)));
    EXPECT_TRUE(set.contains(longName));
    EXPECT_FALSE(set.contains(longName.substr(1)));
    EXPECT_TRUE(set.contains(""));
    EXPECT_TRUE(set.contains(std::string("nul\0inside", 10)));
    EXPECT_FALSE(set.contains("nul"));
    std::multiset<std::string> seen;
    set.forEach([&](std::string_view name) { seen.emplace(name); });
    EXPECT_EQ(seen, (std::multiset<std::string>{longName, "", std::string("nul\0inside", 10)}));
}

}  // namespace
}  // namespace tranca
