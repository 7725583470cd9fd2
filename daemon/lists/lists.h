// The three domain lists (block list, the user's own blocks, the user's
// exceptions), reloaded whole when a file's modification time changes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "daemon/lists/name_set.h"
#include "daemon/lists/suffixes.h"

namespace tranca {

class Blocklist {
  public:
    Blocklist(std::string blocklistPath, std::string customPath, std::string allowPath);

    // Re-reads all three files when any modification time changed; logs, per
    // file, the lines passed over ("custom.txt: 1 línea ignorada (…)"), then
    // "Listas cargadas: …", and returns true after an actual reload.
    bool reload();

    // The most specific listed suffix decides; an allow entry wins at the same
    // suffix. Allocates nothing for names up to 1 KiB.
    bool isBlocked(std::string_view name) const;
    bool isAllowed(std::string_view name) const;

    class Lookup;
    // A look-up in two steps, for a batch of names: prepare takes the lists
    // in force and starts loading the table slots isBlocked will read, so the
    // batch's cache misses overlap. normal is in normal form and must outlive
    // the look-up.
    void prepare(std::string_view normal, Lookup& lookup) const;
    // The step between, once the batch is prepared: starts loading the
    // listed names the slots point to.
    void prefetchNames(const Lookup& lookup) const;
    bool isBlocked(const Lookup& lookup) const;
    bool isAllowed(const Lookup& lookup) const;

    // Goes up by one with every actual reload: what was decided, or kept,
    // under an older number may no longer hold.
    std::uint64_t generation() const { return generation_.load(std::memory_order_acquire); }

    std::size_t blockedCount() const;
    std::size_t allowedCount() const;

  private:
    // Published whole and never edited: "blocked" is the block list united
    // with the custom list, kept as two sets so the union is never copied.
    struct Sets {
        NameSet blocklist;
        NameSet custom;
        NameSet allowed;
        std::size_t blockedCount = 0;
    };

    std::shared_ptr<const Sets> snapshot() const;

  public:
    class Lookup {
      public:
        // Lets go of the lists it holds, so a look-up kept for reuse does
        // not keep replaced lists in memory.
        void clear() { sets.reset(); }

      private:
        friend class Blocklist;
        std::shared_ptr<const Sets> sets;
        Suffixes suffixes;
    };

  private:
    std::array<std::string, 3> paths_;
    std::array<std::optional<timespec>, 3> mtimes_;
    mutable std::mutex lock_;
    std::shared_ptr<const Sets> sets_;
    std::atomic<std::uint64_t> generation_{0};
};

}  // namespace tranca
