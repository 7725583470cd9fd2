// The suffixes of a normalised name, whole name first, with their hashes:
// the names a list look-up tries, most specific first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "daemon/lists/name_set.h"

namespace tranca {

// The first kPrefetched are hashed up front so their table slots can be
// fetched from memory together.
class Suffixes {
  public:
    static constexpr std::size_t kPrefetched = 16;

    Suffixes() = default;
    explicit Suffixes(std::string_view name) {
        std::string_view candidate = name;
        while (!candidate.empty() && count_ < kPrefetched) {
            items_[count_++] = {candidate, hashName(candidate)};
            const std::size_t dot = candidate.find('.');
            candidate =
                dot == std::string_view::npos ? std::string_view{} : candidate.substr(dot + 1);
        }
        rest_ = candidate;
    }

    void prefetch(const NameSet& set) const {
        for (std::size_t i = 0; i < count_; ++i) {
            set.prefetch(items_[i].hash);
        }
    }

    void prefetchNames(const NameSet& set) const {
        for (std::size_t i = 0; i < count_; ++i) {
            set.prefetchName(items_[i].hash);
        }
    }

    // fn(candidate, hash) returns an answer to stop the walk.
    template <typename Fn>
    std::optional<bool> walk(Fn&& fn) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (const std::optional<bool> answer = fn(items_[i].name, items_[i].hash)) {
                return answer;
            }
        }
        std::string_view candidate = rest_;
        while (!candidate.empty()) {
            if (const std::optional<bool> answer = fn(candidate, hashName(candidate))) {
                return answer;
            }
            const std::size_t dot = candidate.find('.');
            if (dot == std::string_view::npos) {
                break;
            }
            candidate.remove_prefix(dot + 1);
        }
        return std::nullopt;
    }

  private:
    struct Item {
        std::string_view name;
        std::uint64_t hash;
    };
    std::array<Item, kPrefetched> items_;  // only the first count_ are set
    std::size_t count_ = 0;
    std::string_view rest_;
};

}  // namespace tranca
