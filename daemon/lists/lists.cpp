#include "daemon/lists/lists.h"
#include "platform/file_time.h"

#include "daemon/lists/list_file.h"
#include "daemon/lists/normal_name.h"
#include "daemon/log.h"

namespace tranca {

namespace {

// Says which lines of a list were passed over, so a list that loads fewer
// names than it holds is explained in the log.
void logSkips(const std::string& path, const ListSkips& skips) {
    const std::string file = path.substr(path.find_last_of('/') + 1);
    const auto report = [&](std::size_t count, std::string_view why) {
        if (count == 0) {
            return;
        }
        logLine(file + ": " + std::to_string(count) +
                (count == 1 ? " línea ignorada (" : " líneas ignoradas (") + std::string(why) +
                ")");
    };
    report(skips.notUtf8, "no es UTF-8 válido");
    report(skips.unusable, "sin un nombre de dominio utilizable");
}

}  // namespace

Blocklist::Blocklist(std::string blocklistPath, std::string customPath, std::string allowPath)
    : paths_{std::move(blocklistPath), std::move(customPath), std::move(allowPath)},
      sets_(std::make_shared<const Sets>()) {}

std::shared_ptr<const Blocklist::Sets> Blocklist::snapshot() const {
    std::lock_guard guard(lock_);
    return sets_;
}

bool Blocklist::reload() {
    bool changed = false;
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        const std::optional<timespec> now = modificationTime(paths_[i]);
        if (!sameModificationTime(now, mtimes_[i])) {
            mtimes_[i] = now;
            changed = true;
        }
    }
    if (!changed) {
        return false;
    }
    auto fresh = std::make_shared<Sets>();
    std::array<ListSkips, 3> skips;
    fresh->blocklist = parseListFile(paths_[0], &skips[0]);
    fresh->custom = parseListFile(paths_[1], &skips[1]);
    fresh->allowed = parseListFile(paths_[2], &skips[2]);
    fresh->blockedCount = namesInEither(fresh->blocklist, fresh->custom);
    const std::size_t blocked = fresh->blockedCount;
    const std::size_t allowed = fresh->allowed.size();
    std::shared_ptr<const Sets> previous;
    {
        std::lock_guard guard(lock_);
        previous = std::move(sets_);
        sets_ = std::move(fresh);
    }
    generation_.fetch_add(1, std::memory_order_acq_rel);
    previous.reset();  // the old sets are freed outside the lock
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        logSkips(paths_[i], skips[i]);
    }
    logLine("Listas cargadas: " + std::to_string(blocked) + " dominios bloqueados, " +
            std::to_string(allowed) + " permitidos");
    return true;
}

bool Blocklist::isBlocked(std::string_view name) const {
    char buffer[kNormalNameBuffer];
    std::string spill;
    Lookup lookup;
    prepare(normalName(name, buffer, spill), lookup);
    return isBlocked(lookup);
}

void Blocklist::prepare(std::string_view normal, Lookup& lookup) const {
    lookup.sets = snapshot();
    lookup.suffixes = Suffixes(normal);
    lookup.suffixes.prefetch(lookup.sets->blocklist);
}

void Blocklist::prefetchNames(const Lookup& lookup) const {
    lookup.suffixes.prefetchNames(lookup.sets->blocklist);
}

bool Blocklist::isBlocked(const Lookup& lookup) const {
    const Sets* sets = lookup.sets.get();
    const auto answer = lookup.suffixes.walk([&](std::string_view candidate,
                                                 std::uint64_t hash) -> std::optional<bool> {
        if (sets->allowed.contains(candidate, hash)) {
            return false;
        }
        if (sets->blocklist.contains(candidate, hash) || sets->custom.contains(candidate, hash)) {
            return true;
        }
        return std::nullopt;
    });
    return answer.value_or(false);
}

bool Blocklist::isAllowed(std::string_view name) const {
    char buffer[kNormalNameBuffer];
    std::string spill;
    Lookup lookup;
    prepare(normalName(name, buffer, spill), lookup);
    return isAllowed(lookup);
}

bool Blocklist::isAllowed(const Lookup& lookup) const {
    const Sets* sets = lookup.sets.get();
    const auto answer = lookup.suffixes.walk(
        [&](std::string_view candidate, std::uint64_t hash) -> std::optional<bool> {
            if (sets->allowed.contains(candidate, hash)) {
                return true;
            }
            return std::nullopt;
        });
    return answer.value_or(false);
}

std::size_t Blocklist::blockedCount() const {
    return snapshot()->blockedCount;
}

std::size_t Blocklist::allowedCount() const {
    return snapshot()->allowed.size();
}

}  // namespace tranca
