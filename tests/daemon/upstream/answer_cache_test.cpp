#include "daemon/upstream/answer_cache.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using std::chrono::seconds;
using testing::append;
using testing::appendName;
using testing::at;
using testing::makeQuery;

const AnswerCache::Clock::time_point kStored{};

// One record; an empty owner points at the question's name.
void record(DnsMessage& m, std::string_view owner, int type, int cls, std::uint32_t ttl,
            const DnsMessage& data) {
    owner.empty() ? append(m, {0xC0, 0x0C}) : appendName(m, owner);
    append(m, {0, type, 0, cls, int(ttl >> 24), int(ttl >> 16 & 0xff), int(ttl >> 8 & 0xff),
               int(ttl & 0xff), 0, int(data.size())});
    m.insert(m.end(), data.begin(), data.end());
}

const DnsMessage kAddress = testing::bytes({10, 0, 0, 1});

// An answer to query with rcode and the given counts; records appended after.
DnsMessage header(const DnsMessage& query, int rcode, int answers, int authority = 0) {
    DnsMessage m = query;
    m[2] = std::byte{0x81}, m[3] = std::byte{static_cast<std::uint8_t>(0x80 | rcode)};
    m[7] = std::byte{static_cast<std::uint8_t>(answers)};
    m[9] = std::byte{static_cast<std::uint8_t>(authority)};
    return m;
}

DnsMessage soaData(std::uint32_t minimum) {
    DnsMessage data;
    appendName(data, "ns.example");
    // A compressed name inside the data too, then serial, refresh, retry, expire.
    append(data, {0xC0, 0x0C, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4});
    append(data, {0, 0, int(minimum >> 8), int(minimum & 0xff)});
    return data;
}

std::uint32_t firstTtl(const DnsMessage& m, std::size_t questionEnd) {
    std::size_t at_ = questionEnd;
    while (at(m, at_) != 0) {
        at_ += 1 + at(m, at_);
    }
    return std::uint32_t{u16At(m, at_ + 5)} << 16 | u16At(m, at_ + 7);
}

DnsMessage one(const DnsMessage& query, std::uint32_t ttl) {
    DnsMessage m = header(query, 0, 1);
    record(m, "", 1, 1, ttl, kAddress);
    return m;
}

DnsMessage chain(const DnsMessage& query) {
    DnsMessage m = header(query, 0, 2), target;
    appendName(target, "cdn.test");
    record(m, "", 5, 1, 600, target);
    record(m, "CDN.test", 1, 1, 120, kAddress);
    return m;
}

struct Row {
    const char* rule;
    std::function<DnsMessage(const DnsMessage&)> reply;
    int askAfter;
    std::uint64_t generation;  // the lists' when asked; stored under 1
    int answers;               // -1: nothing comes back
    std::uint32_t ttl;         // of the first record served
};

// clang-format off
const Row kRules[] = {
    {"ttl counts down", [](auto& q) { return one(q, 300); }, 100, 1, 1, 200},
    {"expired is gone", [](auto& q) { return one(q, 300); }, 300, 1, -1, 0},
    {"ttl 0 not kept", [](auto& q) { return one(q, 0); }, 0, 1, -1, 0},
    {"a day at most", [](auto& q) { return one(q, 999999); }, 0, 1, 1, 86400},
    {"list reload empties", [](auto& q) { return one(q, 300); }, 0, 2, -1, 0},
    {"older lists find nothing", [](auto& q) { return one(q, 300); }, 0, 0, -1, 0},
    {"negative by soa minimum", [](auto& q) { DnsMessage m = header(q, 3, 0, 1); record(m, "example", 6, 1, 900, soaData(60)); return m; }, 10, 1, 0, 50},
    {"negative without soa not kept", [](auto& q) { return header(q, 3, 0); }, 0, 1, -1, 0},
    {"soa of another zone not kept", [](auto& q) { DnsMessage m = header(q, 3, 0, 1); record(m, "other.test", 6, 1, 900, soaData(60)); return m; }, 0, 1, -1, 0},
    {"out of bailiwick dropped", [](auto& q) { DnsMessage m = header(q, 0, 2); record(m, "bank.test", 1, 1, 300, kAddress); record(m, "", 1, 1, 300, kAddress); return m; }, 0, 1, 1, 300},
    {"only poison: nothing kept", [](auto& q) { DnsMessage m = header(q, 0, 1); record(m, "bank.test", 1, 1, 300, kAddress); return m; }, 0, 1, -1, 0},
    {"cname chain kept", [](auto& q) { return chain(q); }, 0, 1, 2, 600},
    {"a chain lives as its shortest record", [](auto& q) { return chain(q); }, 120, 1, -1, 0},
    {"another class dropped", [](auto& q) { DnsMessage m = header(q, 0, 2); record(m, "", 1, 3, 300, kAddress); record(m, "", 1, 1, 300, kAddress); return m; }, 0, 1, 1, 300},
    {"servfail not kept", [](auto& q) { return header(q, 2, 0); }, 0, 1, -1, 0},
    {"truncated not kept", [](auto& q) { DnsMessage m = one(q, 300); m[2] |= std::byte{2}; return m; }, 0, 1, -1, 0},
    {"over the size cap not kept", [](auto& q) { DnsMessage m = header(q, 0, 1); record(m, "", 16, 1, 300, DnsMessage(kMaxCachedReply)); return m; }, 0, 1, -1, 0},
    {"record cut short not kept", [](auto& q) { DnsMessage m = one(q, 300); m.pop_back(); return m; }, 0, 1, -1, 0},
};
// clang-format on

TEST(AnswerCacheRules, Table) {
    for (const Row& row : kRules) {
        SCOPED_TRACE(row.rule);
        AnswerCache cache;
        const DnsMessage query = makeQuery(7, "www.Example");
        const std::size_t end = query.size();
        cache.store(query, end, row.reply(query), false, 1, kStored);
        const DnsMessage asked = makeQuery(9, "WWW.example");
        DnsMessage out(8192);
        const auto hit =
            cache.lookup(asked, end, row.generation, kStored + seconds(row.askAfter), out);
        ASSERT_EQ(hit.size != 0, row.answers >= 0);
        if (row.answers < 0) {
            continue;
        }
        out.resize(hit.size);
        EXPECT_TRUE(isReplyTo(out, asked, end, true));  // its ID, its question
        EXPECT_TRUE(std::equal(asked.begin() + 12, asked.end(), out.begin() + 12));
        EXPECT_EQ(at(out, 7), row.answers);
        EXPECT_EQ(at(out, 11), 0) << "additional records kept";
        EXPECT_EQ(firstTtl(out, end), row.ttl);
    }
}

TEST(AnswerCache, LeastRecentlyUsedGoesFirstAndTheBoundHolds) {
    AnswerCache cache(CacheLimits{.entries = 2, .bytes = 1 << 20});
    DnsMessage out(8192);
    const auto ask = [&](std::string_view name) {
        const DnsMessage q = makeQuery(1, name);
        return cache.lookup(q, q.size(), 1, kStored, out).size != 0;
    };
    const auto put = [&](std::string_view name) {
        const DnsMessage q = makeQuery(1, name);
        cache.store(q, q.size(), one(q, 300), false, 1, kStored);
    };
    put("a.test"), put("b.test");
    ASSERT_TRUE(ask("a.test"));
    put("c.test");
    EXPECT_TRUE(ask("a.test"));
    EXPECT_FALSE(ask("b.test")) << "the most recently used went out first";
    EXPECT_TRUE(ask("c.test"));
}

TEST(AnswerCache, StaleForADayWithAShortTtlAndPrefetchOnceInTheLastTenth) {
    AnswerCache cache;
    const DnsMessage q = makeQuery(1, "a.test");
    cache.store(q, q.size(), one(q, 100), false, 1, kStored);
    DnsMessage out(8192);
    EXPECT_FALSE(cache.lookup(q, q.size(), 1, kStored + seconds(50), out).prefetch);
    // Asked only twice: left to expire, even in its last tenth.
    EXPECT_FALSE(cache.lookup(q, q.size(), 1, kStored + seconds(90), out).prefetch);
    EXPECT_TRUE(cache.lookup(q, q.size(), 1, kStored + seconds(91), out).prefetch);
    EXPECT_FALSE(cache.lookup(q, q.size(), 1, kStored + seconds(92), out).prefetch);
    const std::size_t size = cache.lookupStale(q, q.size(), 1, kStored + seconds(3600), out);
    ASSERT_NE(size, 0u);
    EXPECT_EQ(firstTtl(out, q.size()), kStaleTtl);
    EXPECT_EQ(cache.lookupStale(q, q.size(), 1, kStored + seconds(101) + kStaleWindow, out), 0u);
    // An answer its server said not to keep is not there to be served stale.
    const DnsMessage once = makeQuery(1, "cero.test");
    cache.store(once, once.size(), one(once, 0), false, 1, kStored);
    EXPECT_EQ(cache.lookupStale(once, once.size(), 1, kStored + seconds(1), out), 0u);
}

TEST(AnswerCache, ManyThreadsAtOnceStayWithinTheBound) {
    const CacheLimits limits{.entries = 300, .bytes = 64 << 10};
    AnswerCache cache(limits);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&cache, t] {
                DnsMessage out(8192);
                for (int i = 0; i < 2000; ++i) {
                    const DnsMessage q =
                        makeQuery(1, "n" + std::to_string((i * 7 + t) % 700) + ".test");
                    if (cache.lookup(q, q.size(), 1 + i / 1000, kStored, out).size == 0) {
                        cache.store(q, q.size(), one(q, 300), false, 1 + i / 1000, kStored);
                    }
                }
            });
        }
    }
    const CacheStats stats = cache.stats();
    EXPECT_GT(stats.hits, 0u);
    EXPECT_LE(stats.entries, limits.entries);
    EXPECT_LE(stats.bytes, limits.bytes);
}

}  // namespace
}  // namespace tranca
