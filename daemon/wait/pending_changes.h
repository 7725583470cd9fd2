// The wait before loosening as stored: the chosen wait and the changes that
// wait for it, in one root-only text file the daemon and its command line
// share. Only the time the daemon has really run counts down a change, so the
// file keeps what is left of each wait, never a time of day.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tranca {

enum class PendingAction {
    deactivate,
    uninstall,
    keywordFilterOff,
    sites,
    shortenWait,
    trustedPerson
};

// The action's word in the file and on the cancel socket ("desactivar"…).
std::string_view actionWord(PendingAction action);
std::optional<PendingAction> actionFromWord(std::string_view word);
// The script beside trancad that carries the action out ("disable.sh"…);
// empty for what trancad does itself (sites, the wait).
std::string_view scriptFor(PendingAction action);

struct PendingChange {
    std::uint64_t id = 0;
    PendingAction action = PendingAction::deactivate;
    // Wait still to run, in milliseconds; 0 or less is due.
    std::int64_t remainingMs = 0;
    // When it was asked for (Unix seconds), for the log and the notices only.
    std::int64_t requestedAt = 0;
    // Where the scripts that carry it out are (the requester's own folder).
    std::string scriptDirectory;
    // shortenWait: the new wait in seconds.
    std::int64_t newWaitSeconds = 0;
    // sites: names to stop blocking and names to allow.
    std::vector<std::string> unblock;
    std::vector<std::string> allow;
    // trustedPerson: the new settings text (no address: the person goes).
    std::string personSettings;
    // Why the last attempt failed; empty when none failed.
    std::string failure;

    // The same change asked twice is kept once.
    bool sameRequestAs(const PendingChange& other) const;
    bool operator==(const PendingChange&) const = default;
};

struct WaitState {
    std::int64_t waitSeconds = 0;
    std::uint64_t nextId = 1;
    std::vector<PendingChange> changes;

    bool operator==(const WaitState&) const = default;
};

// The file's text; parseWaitState reads it back. A missing file is the empty
// text: no wait, nothing pending.
std::string waitStateText(const WaitState& state);
// nullopt when any line is not understood whole: a change read in part is
// never carried out.
std::optional<WaitState> parseWaitState(std::string_view text);

// Adds change unless the same one is pending; returns the pending one's id.
std::uint64_t enqueue(WaitState& state, PendingChange change);

// A wait that is one of the offered choices.
bool isWaitChoice(std::int64_t seconds);

// The Spanish phrase of a pending change and its time left, as the command
// line prints it: "la protección se desactivará en 15 min".
std::string pendingPhrase(const PendingChange& change);
// The same without the time: "la protección se desactivará".
std::string pendingWhat(const PendingChange& change);
std::string waitText(std::int64_t seconds);

// What a site-lists save does under a wait: the texts to write now (every
// added block, every removed permission) and the loosening left to wait.
struct SitesSplit {
    std::string customNow;
    std::string allowNow;
    std::vector<std::string> unblock;
    std::vector<std::string> allow;
};
SitesSplit splitSitesSave(std::string_view oldCustom, std::string_view oldAllow,
                          std::string_view newCustom, std::string_view newAllow);

// The lists once a waited sites change is carried out.
std::string customWithout(std::string_view custom, const std::vector<std::string>& names);
std::string allowWith(std::string_view allow, const std::vector<std::string>& names);

}  // namespace tranca
