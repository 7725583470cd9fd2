// Keeps the "BLOQUEADO <name>" lines from flooding the log: a client asking
// for blocked names as fast as it can would otherwise write megabytes a
// second. A name is logged at most once a second, and all names together at
// most linesPerSecond times a second; a name not seen lately is logged even
// past that, because its first block is what the tray application reacts to.
// What is left out is counted and told in one line once its second is over.
// The same limiter, with a minute per name, keeps the lines of names the
// upstreams left unanswered (a machine offline) just as short.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "contract/filter.h"

namespace tranca {

inline constexpr std::string_view kBlockedPrefix = amparo::contract::kBlockedMarker;
inline constexpr std::string_view kFamilyBlockedPrefix = "BLOQUEADO (filtro familiar) ";

struct BlockLogLimits {
    // A name is logged again only once this has passed.
    std::chrono::milliseconds perName{1000};
    // Lines a second for names logged before, all names together.
    std::size_t linesPerSecond = 50;
    // Names not seen lately may go past linesPerSecond up to this many lines
    // a second in all. Without a ceiling, a client inventing a new name for
    // every query would write every one of them.
    std::size_t linesPerSecondWithNewNames = 500;
    // How many names are remembered (rounded up to a power of two). A name
    // pushes out the least recently seen of the few sharing its slots, and a
    // forgotten name is new again.
    std::size_t rememberedNames = 8192;
    // What the count of left-out lines names: "… 3 líneas <what> omitidas …".
    std::string_view omittedWhat = "de bloqueo";
};

class BlockLog {
  public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(std::string_view line)>;

    // The sink receives whole lines without timestamp; logLine by default.
    explicit BlockLog(BlockLogLimits limits = {}, Sink sink = {});

    // Logs prefix + name (kBlockedPrefix or kFamilyBlockedPrefix) + suffix
    // unless the limits leave it out; the name escaped as the DNS tools show
    // it, so a label cannot pass for the line's own words. Names differing
    // only in ASCII case count as one. Thread-safe.
    void blocked(std::string_view prefix, std::string_view name,
                 Clock::time_point now = Clock::now(), std::string_view suffix = {});

    // Writes the count of lines left out once their second is over. blocked
    // does it too, but only when another block comes; a once-a-second timer
    // calling this makes the count arrive on time. Thread-safe.
    void flush(Clock::time_point now = Clock::now());

    // Names remembered right now; never more than the table holds.
    std::size_t rememberedNames() const;
    std::size_t capacity() const { return slots_.size(); }

  private:
    struct Slot {
        std::uint64_t key = 0;  // 0: free
        Clock::time_point lastLogged{};
        Clock::time_point lastSeen{};
    };
    enum class Verdict { omit, log };

    // Under mutex_: ends the current second when now is past it; the lines
    // it left out, 0 when none or when it is not over.
    std::size_t closeSecondLocked(Clock::time_point now);
    Verdict decideLocked(std::uint64_t key, Clock::time_point now);
    std::uint64_t keyOf(std::string_view name) const;
    void writeOmitted(std::size_t omitted) const;

    const BlockLogLimits limits_;
    const Sink sink_;
    const std::uint64_t seed_;

    mutable std::mutex mutex_;
    // Sets of kWays slots; a name lives in the set its key picks.
    std::vector<Slot> slots_;
    std::size_t setMask_ = 0;
    std::size_t remembered_ = 0;
    bool secondOpen_ = false;
    Clock::time_point secondStart_{};
    std::size_t linesThisSecond_ = 0;
    std::size_t omittedThisSecond_ = 0;
};

}  // namespace tranca
