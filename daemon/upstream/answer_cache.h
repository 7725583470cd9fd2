// Answers of the family resolvers kept for their TTL, in the daemon's own
// memory: keyed by the question (name, type, class), bounded in entries and
// bytes, least recently used out first. Only ever asked after the lists have
// decided a name is to be forwarded.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "daemon/upstream/cache_wire.h"

namespace tranca {

struct CacheLimits {
    std::size_t entries = 50'000;
    std::size_t bytes = 8u << 20;
};

struct CacheStats {
    std::size_t entries = 0;
    std::size_t bytes = 0;
    std::uint64_t hits = 0;
    std::uint64_t misses = 0;
    std::uint64_t stale = 0;
};

// Kept a day past its TTL, for when every resolver fails (RFC 8767), and
// then handed out with a short TTL so clients soon ask again.
inline constexpr std::chrono::seconds kStaleWindow{86400};
inline constexpr std::uint32_t kStaleTtl = 30;

// The question's wire bytes, letters folded to lower case, type and class
// included: "A IN" and "AAAA IN" of one name are two keys. Empty when the
// question does not fit.
using KeyBuffer = std::array<char, kMaxNameWire + kQuestionFixedSize>;
std::string_view questionKey(DnsBytes query, std::size_t questionEnd, KeyBuffer& buffer);

class AnswerCache {
  public:
    using Clock = std::chrono::steady_clock;

    struct Hit {
        std::size_t size = 0;        // 0: no answer
        bool prefetch = false;       // popular and in the last tenth of its TTL: refresh it now
        bool familyBlocked = false;  // the family resolver's block, already pointed home
    };

    explicit AnswerCache(CacheLimits limits = {});

    // generation is the lists' at the time the name was decided: a newer one
    // than the cache has seen empties it first, an older one finds nothing.

    // The answer to query (its ID, its question's letter case, the TTLs
    // counted down) written into out.
    Hit lookup(DnsBytes query, std::size_t questionEnd, std::uint64_t generation,
               Clock::time_point now, std::span<std::byte> out);
    // An answer expired less than kStaleWindow ago, every TTL kStaleTtl;
    // 0 when there is none.
    std::size_t lookupStale(DnsBytes query, std::size_t questionEnd, std::uint64_t generation,
                            Clock::time_point now, std::span<std::byte> out);
    // Keeps what cacheableReply allows of reply to query's question.
    void store(DnsBytes query, std::size_t questionEnd, DnsBytes reply, bool familyBlocked,
               std::uint64_t generation, Clock::time_point now);

    CacheStats stats() const;

  private:
    struct Entry {
        std::string key;
        DnsMessage reply;
        Clock::time_point stored;
        std::uint32_t ttl = 0;
        std::uint32_t hits = 0;
        bool prefetching = false;
        bool familyBlocked = false;
        std::size_t cost() const;
    };
    using Entries = std::list<Entry>;

    // Under lock_: false when generation is older than the cache's.
    bool admitGeneration(std::uint64_t generation);
    Entries::iterator find(DnsBytes query, std::size_t questionEnd);
    std::size_t copyOut(const Entry& entry, DnsBytes query, std::size_t questionEnd,
                        std::span<std::byte> out) const;
    void evict(Entries::iterator entry, Entries& dropped);

    const CacheLimits limits_;
    mutable std::mutex lock_;
    Entries entries_;                                                // most recently used first
    std::unordered_map<std::string_view, Entries::iterator> index_;  // views into Entry::key
    std::size_t bytes_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t hits_ = 0;
    std::uint64_t misses_ = 0;
    std::uint64_t stale_ = 0;
};

// "Caché de respuestas: 120 entradas, 0,1 MiB, 75 % de aciertos (300 de 400)".
std::string cacheStatsText(const CacheStats& stats);

}  // namespace tranca
