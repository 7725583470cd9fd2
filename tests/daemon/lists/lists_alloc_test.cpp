// Matching must not touch the heap: this executable counts every operator new.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>

#include "daemon/lists/lists.h"

namespace {
std::atomic<long> allocations{0};
}

// The replacement pair below is matched (malloc/free); GCC cannot see that.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace tranca {
namespace {

TEST(MatchingAllocations, NoHeapAllocationForOrdinaryNames) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("amparo-alloc-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "blocklist.txt") << "blocked.example\n";
    std::ofstream(dir / "custom.txt") << "mine.example\n";
    std::ofstream(dir / "allow.txt") << "ok.blocked.example\n";
    Blocklist lists((dir / "blocklist.txt").string(), (dir / "custom.txt").string(),
                    (dir / "allow.txt").string());
    ASSERT_TRUE(lists.reload());

    const long before = allocations.load();
    bool results[6];
    results[0] = lists.isBlocked("www.cdn.blocked.example");
    results[1] = lists.isBlocked("A.B.C.UNLISTED.example.");
    results[2] = lists.isBlocked("x.ok.blocked.example");
    results[3] = lists.isBlocked("www.mine.example");
    results[4] = lists.isAllowed("deep.ok.blocked.example");
    results[5] = lists.isAllowed("a.b.c.d");
    const long during = allocations.load() - before;

    EXPECT_EQ(during, 0);
    EXPECT_TRUE(results[0]);
    EXPECT_FALSE(results[1]);
    EXPECT_FALSE(results[2]);
    EXPECT_TRUE(results[3]);
    EXPECT_TRUE(results[4]);
    EXPECT_FALSE(results[5]);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tranca
