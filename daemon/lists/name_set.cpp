#include "daemon/lists/name_set.h"

namespace tranca {

namespace {

// Below this many names the arena stays within a few small pages.
constexpr std::size_t kHugePageNames = 100'000;

std::uint64_t tagOf(std::uint64_t hash) {
    return hash >> 40;
}

}  // namespace

std::string_view NameSet::nameAt(std::size_t offset) const noexcept {
    std::size_t length = 0;
    unsigned shift = 0;
    std::size_t at = offset;
    while (at < arena_.size()) {
        const auto byte = static_cast<unsigned char>(arena_[at++]);
        length |= static_cast<std::size_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            break;
        }
        shift += 7;
    }
    return {arena_.data() + at, length};
}

std::size_t NameSet::nameEnd(std::size_t offset) const noexcept {
    const std::string_view name = nameAt(offset);
    return static_cast<std::size_t>(name.data() - arena_.data()) + name.size();
}

bool NameSet::contains(std::string_view name, std::uint64_t hash) const noexcept {
    if (slots_.empty()) {
        return false;
    }
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = tagOf(hash);
    for (std::size_t index = hash & mask;; index = (index + 1) & mask) {
        const std::uint64_t slot = slots_[index];
        if (slot == 0) {
            return false;
        }
        if ((slot >> kOffsetBits) == tag && nameAt((slot & kOffsetMask) - 1) == name) {
            return true;
        }
    }
}

void NameSet::prefetchName(std::uint64_t hash) const noexcept {
    if (slots_.empty()) {
        return;
    }
    const std::uint64_t slot = slots_[hash & (slots_.size() - 1)];
    if (slot != 0 && (slot >> kOffsetBits) == tagOf(hash)) {
        __builtin_prefetch(arena_.data() + (slot & kOffsetMask) - 1);
    }
}

void NameSet::place(std::uint64_t slot, std::uint64_t hash) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t index = hash & mask;
    while (slots_[index] != 0) {
        index = (index + 1) & mask;
    }
    slots_[index] = slot;
}

void NameSet::rehash(std::size_t slots) {
    MappedArray<std::uint64_t> old = std::move(slots_);
    slots_ = MappedArray<std::uint64_t>::zeroedResident(slots);
    for (std::size_t i = 0; i < old.size(); ++i) {
        if (const std::uint64_t slot = old[i]; slot != 0) {
            place(slot, hashName(nameAt((slot & kOffsetMask) - 1)));
        }
    }
}

void NameSet::reserve(std::size_t names) {
    // Load at most one half, so probe runs stay short.
    std::size_t slots = 1024;
    while (slots / 2 < names) {
        slots *= 2;
    }
    if (slots > slots_.size()) {
        rehash(slots);
    }
    // A large list's names are compared at random on every look-up, too.
    if (names >= kHugePageNames) {
        arena_.preferHugePages();
    }
}

bool NameSet::insert(std::string_view name, std::uint64_t hash) {
    if ((count_ + 1) * 2 > slots_.size()) {
        rehash(slots_.empty() ? 1024 : slots_.size() * 2);
    }
    const std::uint64_t tag = tagOf(hash);
    const std::size_t mask = slots_.size() - 1;
    std::size_t index = hash & mask;
    // One probe run finds either the name or the free slot it goes in.
    for (; slots_[index] != 0; index = (index + 1) & mask) {
        const std::uint64_t slot = slots_[index];
        if ((slot >> kOffsetBits) == tag && nameAt((slot & kOffsetMask) - 1) == name) {
            return false;
        }
    }
    const std::size_t offset = arena_.size();
    std::size_t length = name.size();
    do {
        const auto low = static_cast<char>(length & 0x7f);
        length >>= 7;
        arena_.pushBack(static_cast<char>(low | (length != 0 ? 0x80 : 0)));
    } while (length != 0);
    arena_.append(name.data(), name.size());
    slots_[index] = (tag << kOffsetBits) | (offset + 1);
    ++count_;
    return true;
}

std::size_t namesInEither(const NameSet& first, const NameSet& second) {
    std::size_t onlySecond = 0;
    second.forEach([&](std::string_view name) {
        if (!first.contains(name)) {
            ++onlySecond;
        }
    });
    return first.size() + onlySecond;
}

}  // namespace tranca
