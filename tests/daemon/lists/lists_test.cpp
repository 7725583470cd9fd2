#include "daemon/lists/lists.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

class ListsTest : public ::testing::Test {
  protected:
    std::string path(const char* name) const { return (dir_ / name).string(); }
    void write(const char* name, const std::string& content) {
        std::ofstream(path(name), std::ios::binary | std::ios::trunc) << content;
    }
    // Gives a file a chosen modification time so changes are seen without sleeping.
    void setTime(const char* name, long seconds, long nanoseconds) {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path(name).c_str(), times, 0), 0);
    }
    void load(const std::string& block, const std::string& custom, const std::string& allow) {
        write("blocklist.txt", block);
        write("custom.txt", custom);
        write("allow.txt", allow);
        setTime("blocklist.txt", 1000, ++stamp_);
        ASSERT_TRUE(lists_->reload());
    }

    tranca::testing::ScratchDir dir_;
    std::unique_ptr<Blocklist> lists_ =
        std::make_unique<Blocklist>(path("blocklist.txt"), path("custom.txt"), path("allow.txt"));
    long stamp_ = 0;
};

TEST_F(ListsTest, MatchingBySuffixWithTheAllowListWinningAtItsOwnLevel) {
    std::string longName;
    for (int i = 0; i < 300; ++i) {
        longName += "Label" + std::to_string(i) + ".";
    }
    struct Row {
        const char *block, *custom, *allow;
        std::string name;
        bool blocked;
    };
    const Row rows[] = {
        // An allow entry on a parent leaves a more specific block in force...
        {"ads.example.com\n", "", "example.com\n", "x.ads.example.com", true},
        {"ads.example.com\n", "", "example.com\n", "shop.example.com", false},
        // ...one on a child frees only its subtree, and at the same suffix it wins.
        {"example.com\n", "", "shop.example.com\n", "a.shop.example.com", false},
        {"example.com\n", "", "shop.example.com\n", "mail.example.com", true},
        {"same.example\n", "same.example\n", "same.example\n", "www.same.example", false},
        // Query names are normalised; labels match whole.
        {"example.com\n", "", "", "EXAMPLE.COM.", true},
        {"example.com\n", "", "", "www..Example.com", true},
        {"example.com\n", "", "", ".www.example.com", true},
        {"example.com\n", "", "", "", false},
        {"example.com\n", "", "", "...", false},
        {"example.com\n", "", "", "example.co", false},
        {"example.com\n", "", "", "notexample.com", false},
        {"example.com\n", "", "", longName + "EXAMPLE.com", true},
        {"example.com\n", "", "", longName + "example.org", false},
        // The custom list blocks too; trailing dots, wildcards and top levels.
        {"", "mine.example\ncasino\n", "", "any.thing.casino", true},
        {"trailing.example.\n", "*.wild.example\n", "", "www.trailing.example", true},
        {"", "*.wild.example\n", "*.shop.wild.example\n", "wild.example", true},
        {"", "*.wild.example\n", "*.shop.wild.example\n", "a.shop.wild.example", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        load(row.block, row.custom, row.allow);
        EXPECT_EQ(lists_->isBlocked(row.name), row.blocked);
    }
    EXPECT_TRUE(lists_->isAllowed("a.shop.wild.example"));
    EXPECT_FALSE(lists_->isAllowed("wild.example"));
    EXPECT_FALSE(lists_->isAllowed(""));
    load("a.example\nb.example\n", "b.example\nc.example\n", "x.example\n");
    EXPECT_EQ(lists_->blockedCount(), 3u) << "the union counts each name once";
    EXPECT_EQ(lists_->allowedCount(), 1u);
}

TEST_F(ListsTest, MatchersSeeWholeSetsWhileReloadsRun) {
    // Every generation of the file holds both names, so a matcher must always
    // see both or be looking at a torn set.
    load("stable.example\nother.example\n", "", "");
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread matcher([&] {
        while (!done) {
            const bool first = lists_->isBlocked("stable.example");
            const bool second = lists_->isBlocked("other.example");
            if (!first || !second) {
                ++torn;
            }
        }
    });
    for (int generation = 0; generation < 50; ++generation) {
        std::string content = "stable.example\nother.example\n";
        for (int i = 0; i < 200; ++i) {
            content += "g" + std::to_string(generation) + "-" + std::to_string(i) + ".example\n";
        }
        write("blocklist.txt", content);
        setTime("blocklist.txt", 5000, generation + 1);
        ASSERT_TRUE(lists_->reload());
    }
    done = true;
    matcher.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace tranca
