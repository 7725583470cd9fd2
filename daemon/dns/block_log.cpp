#include "daemon/dns/block_log.h"

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <utility>

#include "daemon/log.h"
#include "daemon/text.h"

namespace tranca {

namespace {

using namespace std::chrono_literals;

// A name is looked for in one set of this many slots only, so a lookup costs
// a few cache lines whatever the table's size.
constexpr std::size_t kWays = 8;

std::uint64_t randomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

BlockLog::BlockLog(BlockLogLimits limits, Sink sink)
    : limits_(limits),
      sink_(sink ? std::move(sink) : Sink(&logLine)),
      seed_(randomSeed()),
      slots_(std::bit_ceil(std::max(limits.rememberedNames, kWays))),
      setMask_(slots_.size() / kWays - 1) {}

std::uint64_t BlockLog::keyOf(std::string_view name) const {
    // FNV-1a from a per-process seed, then a full mix: a client cannot choose
    // names that crowd one set or pass for a name already logged.
    std::uint64_t hash = seed_ ^ 0xcbf29ce484222325ULL;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(text::asciiLower(c));
        hash *= 0x100000001b3ULL;
    }
    hash ^= hash >> 30;
    hash *= 0xbf58476d1ce4e5b9ULL;
    hash ^= hash >> 27;
    hash *= 0x94d049bb133111ebULL;
    hash ^= hash >> 31;
    return hash == 0 ? 1 : hash;
}

std::size_t BlockLog::closeSecondLocked(Clock::time_point now) {
    if (!secondOpen_ || now - secondStart_ < 1s) {
        return 0;
    }
    secondOpen_ = false;
    linesThisSecond_ = 0;
    return std::exchange(omittedThisSecond_, 0);
}

BlockLog::Verdict BlockLog::decideLocked(std::uint64_t key, Clock::time_point now) {
    Slot* const set = slots_.data() + (key & setMask_) * kWays;
    Slot* victim = set;
    for (Slot* slot = set; slot != set + kWays; ++slot) {
        if (slot->key == key) {
            slot->lastSeen = now;
            if (now - slot->lastLogged < limits_.perName ||
                linesThisSecond_ >= limits_.linesPerSecond) {
                return Verdict::omit;
            }
            slot->lastLogged = now;
            ++linesThisSecond_;
            return Verdict::log;
        }
        if (victim->key != 0 && (slot->key == 0 || slot->lastSeen < victim->lastSeen)) {
            victim = slot;
        }
    }
    if (linesThisSecond_ >= std::max(limits_.linesPerSecond, limits_.linesPerSecondWithNewNames)) {
        // Not remembered either: still new when it comes back, and a flood of
        // invented names does not push out the names that were logged.
        return Verdict::omit;
    }
    if (victim->key == 0) {
        ++remembered_;
    }
    *victim = Slot{.key = key, .lastLogged = now, .lastSeen = now};
    ++linesThisSecond_;
    return Verdict::log;
}

void BlockLog::blocked(std::string_view prefix, std::string_view name, Clock::time_point now,
                       std::string_view suffix) {
    const std::uint64_t key = keyOf(name);
    std::size_t omitted = 0;
    Verdict verdict = Verdict::omit;
    {
        const std::lock_guard lock(mutex_);
        omitted = closeSecondLocked(now);
        if (!secondOpen_) {
            secondOpen_ = true;
            secondStart_ = now;
        }
        verdict = decideLocked(key, now);
        if (verdict == Verdict::omit) {
            ++omittedThisSecond_;
        }
    }
    // Written outside the lock: the sink may block on the log's descriptor.
    if (omitted != 0) {
        writeOmitted(omitted);
    }
    if (verdict == Verdict::log) {
        thread_local std::string line;
        line.assign(prefix);
        appendDnsName(line, name);
        line.append(suffix);
        sink_(line);
    }
}

void BlockLog::flush(Clock::time_point now) {
    std::size_t omitted = 0;
    {
        const std::lock_guard lock(mutex_);
        omitted = closeSecondLocked(now);
    }
    if (omitted != 0) {
        writeOmitted(omitted);
    }
}

std::size_t BlockLog::rememberedNames() const {
    const std::lock_guard lock(mutex_);
    return remembered_;
}

void BlockLog::writeOmitted(std::size_t omitted) const {
    std::string text = "… " + std::to_string(omitted) + (omitted == 1 ? " línea " : " líneas ");
    text += limits_.omittedWhat;
    text += omitted == 1 ? " omitida" : " omitidas";
    text += " en el último segundo";
    sink_(text);
}

}  // namespace tranca
