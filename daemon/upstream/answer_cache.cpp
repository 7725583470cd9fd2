#include "daemon/upstream/answer_cache.h"

#include <array>
#include <cstring>

#include "daemon/text.h"

namespace tranca {

namespace {

// The list node, the index node and the allocators' own headers, roughly.
constexpr std::size_t kEntryOverhead = 160;

}  // namespace

std::string_view questionKey(DnsBytes query, std::size_t questionEnd, KeyBuffer& buffer) {
    if (questionEnd <= kHeaderSize || questionEnd > query.size() ||
        questionEnd - kHeaderSize > buffer.size()) {
        return {};
    }
    const std::size_t length = questionEnd - kHeaderSize;
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = text::asciiLower(static_cast<char>(query[kHeaderSize + i]));
    }
    return {buffer.data(), length};
}

std::size_t AnswerCache::Entry::cost() const {
    return kEntryOverhead + key.capacity() + reply.capacity();
}

AnswerCache::AnswerCache(CacheLimits limits) : limits_(limits) {}

bool AnswerCache::admitGeneration(std::uint64_t generation) {
    if (generation > generation_) {
        // New lists: whatever a chain of stored names leads to may be blocked now.
        entries_.clear();
        index_.clear();
        bytes_ = 0;
        generation_ = generation;
    }
    return generation == generation_;
}

AnswerCache::Entries::iterator AnswerCache::find(DnsBytes query, std::size_t questionEnd) {
    KeyBuffer buffer;
    const std::string_view key = questionKey(query, questionEnd, buffer);
    const auto found = key.empty() ? index_.end() : index_.find(key);
    return found == index_.end() ? entries_.end() : found->second;
}

std::size_t AnswerCache::copyOut(const Entry& entry, DnsBytes query, std::size_t questionEnd,
                                 std::span<std::byte> out) const {
    const std::size_t size = entry.reply.size();
    if (out.size() < size || size < questionEnd) {
        return 0;
    }
    std::memcpy(out.data(), entry.reply.data(), size);
    // The asker's ID and its question as it wrote it (mixed case included).
    std::memcpy(out.data() + kIdOffset, query.data() + kIdOffset, kIdSize);
    std::memcpy(out.data() + kHeaderSize, query.data() + kHeaderSize, questionEnd - kHeaderSize);
    return size;
}

AnswerCache::Hit AnswerCache::lookup(DnsBytes query, std::size_t questionEnd,
                                     std::uint64_t generation, Clock::time_point now,
                                     std::span<std::byte> out) {
    Hit hit;
    std::uint32_t age = 0;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        const auto entry = admitGeneration(generation) ? find(query, questionEnd) : entries_.end();
        if (entry == entries_.end() || now - entry->stored >= std::chrono::seconds(entry->ttl)) {
            ++misses_;
            return hit;
        }
        age = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::seconds>(now - entry->stored).count());
        hit.size = copyOut(*entry, query, questionEnd, out);
        if (hit.size == 0) {
            ++misses_;
            return hit;
        }
        ++hits_;
        entries_.splice(entries_.begin(), entries_, entry);
        hit.familyBlocked = entry->familyBlocked;
        // Popular (asked at least three times since stored) and in its last
        // tenth: refreshed once, in the background, before it runs out. A name
        // asked once or twice is left to expire: refreshing it would mostly
        // ask upstream for an answer nobody reads.
        if (++entry->hits >= 3 && !entry->prefetching &&
            std::uint64_t{entry->ttl - age} * 10 <= entry->ttl) {
            entry->prefetching = hit.prefetch = true;
        }
    }
    setRecordTtls(out.first(hit.size), questionEnd, age);
    return hit;
}

std::size_t AnswerCache::lookupStale(DnsBytes query, std::size_t questionEnd,
                                     std::uint64_t generation, Clock::time_point now,
                                     std::span<std::byte> out) {
    std::size_t size = 0;
    {
        const std::lock_guard<std::mutex> guard(lock_);
        const auto entry = admitGeneration(generation) ? find(query, questionEnd) : entries_.end();
        if (entry == entries_.end() ||
            now - entry->stored > std::chrono::seconds(entry->ttl) + kStaleWindow) {
            return 0;
        }
        size = copyOut(*entry, query, questionEnd, out);
        stale_ += size != 0;
    }
    setRecordTtls(out.first(size), questionEnd, 0, kStaleTtl);
    return size;
}

void AnswerCache::store(DnsBytes query, std::size_t questionEnd, DnsBytes reply, bool familyBlocked,
                        std::uint64_t generation, Clock::time_point now) {
    KeyBuffer buffer;
    const std::string_view key = questionKey(query, questionEnd, buffer);
    if (key.empty() || reply.size() > kMaxCachedReply) {
        return;
    }
    std::optional<CacheableReply> kept = cacheableReply(reply, questionEnd);
    if (!kept) {
        return;
    }
    // Built outside the lock; only the list splice happens inside.
    Entries fresh;
    fresh.push_back(Entry{.key = std::string(key),
                          .reply = std::move(kept->reply),
                          .stored = now,
                          .ttl = kept->ttl,
                          .familyBlocked = familyBlocked});
    const std::size_t cost = fresh.front().cost();
    if (cost > limits_.bytes || limits_.entries == 0) {
        return;
    }
    Entries dropped;  // freed after the lock is released
    const std::lock_guard<std::mutex> guard(lock_);
    if (!admitGeneration(generation)) {
        return;
    }
    if (const auto old = index_.find(key); old != index_.end()) {
        evict(old->second, dropped);
    }
    entries_.splice(entries_.begin(), fresh);
    index_.emplace(entries_.front().key, entries_.begin());
    bytes_ += cost;
    while (entries_.size() > limits_.entries || bytes_ > limits_.bytes) {
        evict(std::prev(entries_.end()), dropped);
    }
}

void AnswerCache::evict(Entries::iterator entry, Entries& dropped) {
    bytes_ -= entry->cost();
    index_.erase(entry->key);
    dropped.splice(dropped.end(), entries_, entry);
}

CacheStats AnswerCache::stats() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return {.entries = entries_.size(),
            .bytes = bytes_,
            .hits = hits_,
            .misses = misses_,
            .stale = stale_};
}

std::string cacheStatsText(const CacheStats& stats) {
    const std::uint64_t asked = stats.hits + stats.misses;
    const std::uint64_t tenthsMiB = (stats.bytes * 10 + (1u << 19)) >> 20;
    return "Caché de respuestas: " + std::to_string(stats.entries) + " entradas, " +
           std::to_string(tenthsMiB / 10) + "," + std::to_string(tenthsMiB % 10) + " MiB, " +
           std::to_string(asked == 0 ? 0 : stats.hits * 100 / asked) + " % de aciertos (" +
           std::to_string(stats.hits) + " de " + std::to_string(asked) + "), " +
           std::to_string(stats.stale) + " vencidas servidas";
}

}  // namespace tranca
