#include "daemon/lists.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace tranca {
namespace {

class ListsTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("amparo-lists-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        lists_ = std::make_unique<Blocklist>(path("blocklist.txt"), path("custom.txt"),
                                             path("allow.txt"));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

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

    std::filesystem::path dir_;
    std::unique_ptr<Blocklist> lists_;
    long stamp_ = 0;
};

TEST_F(ListsTest, AllowOnParentDoesNotUnblockMoreSpecificBlock) {
    load("ads.example.com\n", "", "example.com\n");
    EXPECT_TRUE(lists_->isBlocked("ads.example.com"));
    EXPECT_TRUE(lists_->isBlocked("x.ads.example.com"));
    EXPECT_FALSE(lists_->isBlocked("shop.example.com"));
    EXPECT_FALSE(lists_->isBlocked("example.com"));
}

TEST_F(ListsTest, AllowOnChildUnblocksOnlyThatSubtree) {
    load("example.com\n", "", "shop.example.com\n");
    EXPECT_FALSE(lists_->isBlocked("shop.example.com"));
    EXPECT_FALSE(lists_->isBlocked("a.shop.example.com"));
    EXPECT_TRUE(lists_->isBlocked("example.com"));
    EXPECT_TRUE(lists_->isBlocked("mail.example.com"));
    EXPECT_TRUE(lists_->isAllowed("a.shop.example.com"));
    EXPECT_FALSE(lists_->isAllowed("mail.example.com"));
}

TEST_F(ListsTest, AllowWinsAtTheSameSuffix) {
    load("same.example\n", "same.example\n", "same.example\n");
    EXPECT_FALSE(lists_->isBlocked("same.example"));
    EXPECT_FALSE(lists_->isBlocked("www.same.example"));
}

TEST_F(ListsTest, QueryNamesAreNormalisedBeforeMatching) {
    load("example.com\n", "", "");
    EXPECT_TRUE(lists_->isBlocked("EXAMPLE.COM."));
    EXPECT_TRUE(lists_->isBlocked("www..Example.com"));
    EXPECT_TRUE(lists_->isBlocked(".www.example.com"));
    EXPECT_FALSE(lists_->isBlocked(""));
    EXPECT_FALSE(lists_->isBlocked("..."));
    EXPECT_FALSE(lists_->isBlocked("example.co"));
    EXPECT_FALSE(lists_->isBlocked("notexample.com"));
    EXPECT_FALSE(lists_->isAllowed(""));
}

TEST_F(ListsTest, CustomListBlocksAndTopLevelEntryCoversEverything) {
    load("", "mine.example\ncasino\n", "");
    EXPECT_TRUE(lists_->isBlocked("www.mine.example"));
    EXPECT_TRUE(lists_->isBlocked("any.thing.casino"));
    EXPECT_EQ(lists_->blockedCount(), 2u);
}

TEST_F(ListsTest, TrailingDotAndWildcardEntriesCoverTheirSuffix) {
    load("trailing.example.\n", "*.wild.example\n", "*.shop.wild.example\n");
    EXPECT_TRUE(lists_->isBlocked("www.trailing.example"));
    EXPECT_TRUE(lists_->isBlocked("a.wild.example"));
    EXPECT_TRUE(lists_->isBlocked("wild.example"));
    EXPECT_FALSE(lists_->isBlocked("a.shop.wild.example"));
}

TEST_F(ListsTest, VeryLongNamesStillMatch) {
    load("example.com\n", "", "");
    std::string name;
    for (int i = 0; i < 300; ++i) {
        name += "Label" + std::to_string(i) + ".";
    }
    EXPECT_TRUE(lists_->isBlocked(name + "EXAMPLE.com"));
    EXPECT_FALSE(lists_->isBlocked(name + "example.org"));
}

TEST_F(ListsTest, UnionCountsEachNameOnce) {
    load("a.example\nb.example\n", "b.example\nc.example\n", "x.example\n");
    EXPECT_EQ(lists_->blockedCount(), 3u);
    EXPECT_EQ(lists_->allowedCount(), 1u);
}

TEST_F(ListsTest, ReloadHappensOnlyWhenATimeChanges) {
    EXPECT_FALSE(lists_->reload()) << "no files at all: nothing to load";
    load("a.example\n", "", "");
    EXPECT_FALSE(lists_->reload()) << "nothing changed";
    // Touching the allow list alone re-reads all three files.
    write("allow.txt", "a.example\n");
    setTime("allow.txt", 2000, 1);
    EXPECT_TRUE(lists_->reload());
    EXPECT_FALSE(lists_->isBlocked("a.example"));
    EXPECT_FALSE(lists_->reload());
}

TEST_F(ListsTest, OneNanosecondIsAChange) {
    load("a.example\n", "", "");
    write("custom.txt", "b.example\n");
    setTime("custom.txt", 3000, 5);
    ASSERT_TRUE(lists_->reload());
    write("custom.txt", "c.example\n");
    setTime("custom.txt", 3000, 6);
    ASSERT_TRUE(lists_->reload());
    EXPECT_TRUE(lists_->isBlocked("c.example"));
    EXPECT_FALSE(lists_->isBlocked("b.example"));
}

TEST_F(ListsTest, DeletedFileEmptiesOnlyItsPart) {
    load("a.example\n", "b.example\n", "");
    std::filesystem::remove(path("custom.txt"));
    ASSERT_TRUE(lists_->reload());
    EXPECT_FALSE(lists_->isBlocked("b.example"));
    EXPECT_TRUE(lists_->isBlocked("a.example"));
}

TEST_F(ListsTest, LinesPassedOverAreCountedPerFileInTheLog) {
    testing::internal::CaptureStdout();
    load("a.example\n*\n0.0.0.0 .\n", "b.example\ncaf\xe9.example\n", "ok.example\n");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(lists_->isBlocked("b.example"));
    for (const char* line : {
             "] blocklist.txt: 2 líneas ignoradas (sin un nombre de dominio utilizable)\n",
             "] custom.txt: 1 línea ignorada (no es UTF-8 válido)\n",
             "] Listas cargadas: 2 dominios bloqueados, 1 permitidos\n",
         }) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    }
    EXPECT_EQ(log.find("allow.txt"), std::string::npos) << log;
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
