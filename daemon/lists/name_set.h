// An immutable-once-published set of names, packed for a million entries: all
// names in one arena, an open-addressing table of (hash tag, offset) words.
// Look-ups allocate nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/mapped_array.h"

namespace tranca {

inline std::uint64_t hashName(std::string_view name) noexcept {
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ (name.size() * 0xff51afd7ed558ccdull);
    const char* p = name.data();
    std::size_t left = name.size();
    while (left >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
        p += 8;
        left -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, left);
    h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
    h ^= h >> 29;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 32;
    return h;
}

class NameSet {
  public:
    // Adds name (already lower-cased); returns false when it was there.
    bool insert(std::string_view name) { return insert(name, hashName(name)); }
    bool insert(std::string_view name, std::uint64_t hash);

    // Sizes the table for about names entries at once, so a large list is
    // not rehashed at every doubling on its way in.
    void reserve(std::size_t names);

    bool contains(std::string_view name) const noexcept { return contains(name, hashName(name)); }
    bool contains(std::string_view name, std::uint64_t hash) const noexcept;

    // Starts loading the table slot for hash, so several look-ups of one name's
    // suffixes overlap their cache misses.
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) {
            __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
        }
    }

    // Once the slot is loaded: starts loading the name it points to when its
    // tag matches, the second miss of a look-up that finds its name.
    void prefetchName(std::uint64_t hash) const noexcept;

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // Calls fn(name) for every stored name, in arena order.
    template <typename Fn>
    void forEach(Fn&& fn) const {
        std::size_t at = 0;
        while (at < arena_.size()) {
            const std::string_view name = nameAt(at);
            fn(name);
            at = nameEnd(at);
        }
    }

    // Bytes held by the set (arena and table), for the benchmarks.
    std::size_t memoryBytes() const noexcept {
        return arena_.size() + slots_.size() * sizeof(std::uint64_t);
    }

  private:
    static constexpr unsigned kOffsetBits = 40;
    static constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << kOffsetBits) - 1;

    std::string_view nameAt(std::size_t offset) const noexcept;
    std::size_t nameEnd(std::size_t offset) const noexcept;
    void rehash(std::size_t slots);
    void place(std::uint64_t slot, std::uint64_t hash);

    MappedArray<char> arena_;           // per name: varint length, then the bytes
    MappedArray<std::uint64_t> slots_;  // 0 = empty; else tag << 40 | (offset + 1)
    std::size_t count_ = 0;
};

// How many names are in first, second or both: what the block list and the
// custom list block together, as the daemon logs it and the tray shows it.
std::size_t namesInEither(const NameSet& first, const NameSet& second);

}  // namespace tranca
