#include "daemon/dns/block_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tranca {
namespace {

using namespace std::chrono_literals;
using Clock = BlockLog::Clock;

class BlockLogTest : public ::testing::Test {
  protected:
    BlockLog::Sink sink() {
        return [this](std::string_view line) { lines.emplace_back(line); };
    }
    std::size_t countStartingWith(std::string_view start) const {
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& line) { return line.starts_with(start); }));
    }
    static std::string name(std::size_t i) { return "n" + std::to_string(i) + ".example"; }

    const Clock::time_point t0 = Clock::time_point{} + 1000h;
    std::vector<std::string> lines;
};

TEST_F(BlockLogTest, LeftOutLinesAreCountedInOneLineOnceTheirSecondIsOver) {
    struct Case {
        const char* fault;
        std::size_t repeats;
        bool byFlush;
        std::string_view summary;
    };
    for (const Case& c : {Case{"the count lost without a later block", 3, true,
                               "… 3 líneas de bloqueo omitidas en el último segundo"},
                          Case{"the count not written before the next line", 1, false,
                               "… 1 línea de bloqueo omitida en el último segundo"}}) {
        SCOPED_TRACE(c.fault);
        lines.clear();
        BlockLog log({}, sink());
        for (std::size_t i = 0; i <= c.repeats; ++i) {
            log.blocked(kBlockedPrefix, "a.example", t0 + 10ms * i);
        }
        log.flush(t0 + 999ms);
        EXPECT_EQ(lines.size(), 1u) << "counted before the second is over";
        if (c.byFlush) {
            log.flush(t0 + 1s);
        } else {
            log.blocked(kBlockedPrefix, "b.example", t0 + 1s);
        }
        log.flush(t0 + 5s);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[1], c.summary);
        EXPECT_EQ(countStartingWith("… "), 1u);
    }
}

TEST_F(BlockLogTest, MemoryAndOutputStayBoundedWhateverNamesArrive) {
    // A million invented names, a thousand a second.
    std::size_t written = 0;
    BlockLog log({.rememberedNames = 1000}, [&](std::string_view line) {
        written += line.starts_with(kBlockedPrefix) ? 1 : 0;
    });
    const std::size_t capacity = log.capacity();
    EXPECT_LE(capacity, 1024u);
    constexpr std::size_t kNames = 1'000'000;
    std::string invented;
    for (std::size_t i = 0; i < kNames; ++i) {
        invented.assign("x");
        invented += std::to_string(i);
        invented += ".sub.example";
        log.blocked(kBlockedPrefix, invented, t0 + 1ms * i);
    }
    EXPECT_EQ(log.capacity(), capacity);
    EXPECT_LE(log.rememberedNames(), capacity);
    EXPECT_LE(written, BlockLogLimits{}.linesPerSecondWithNewNames * (kNames / 1000));
    // Still remembering: a name just logged is left out within its second.
    const auto later = t0 + 1ms * kNames + 1s;
    log.blocked(kBlockedPrefix, "fin.example", later);
    const std::size_t before = written;
    log.blocked(kBlockedPrefix, "FIN.example", later);
    EXPECT_EQ(written, before);
}

}  // namespace
}  // namespace tranca
