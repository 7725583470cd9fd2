// The daemon's hold on the wait before loosening: it counts down the pending
// changes by the time it has really run (a steady clock, so a change of the
// wall clock neither shortens nor lengthens a wait, and a machine asleep or
// off counts nothing), starts each change once it is due, and answers the
// unprivileged "lista" and "cancelar".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "daemon/wait/pending_changes.h"

namespace tranca {

// The state file and the one read-modify-write every writer (the daemon and
// the root command line) goes through, under a lock file beside it.
class WaitFile {
  public:
    explicit WaitFile(std::string path);
    const std::string& path() const { return path_; }

    // The stored state; a missing file is the default state. nullopt, with a
    // Spanish reason in error, when the file cannot be read whole.
    std::optional<WaitState> read(std::string& error) const;

    // Calls edit with the state read under the lock and writes the result
    // (atomically, 0600) when edit returns true. False, with error, when the
    // file could not be read whole or written: nothing is changed then.
    bool update(const std::function<bool(WaitState&)>& edit, std::string& error);

  private:
    std::string path_;
    std::string lockPath_;
};

struct WaitClock {
    std::function<std::chrono::steady_clock::time_point()> now = [] {
        return std::chrono::steady_clock::now();
    };
};

// Cancels every pending change; the count, or nullopt (with error) when the
// file could not be read whole or written.
std::optional<std::size_t> cancelAllPending(WaitFile& file, std::string& error);

class WaitKeeper {
  public:
    // Starts carrying out the due change with this id, apart from the
    // daemon; false, with error, when it could not be started.
    using Starter = std::function<bool(std::uint64_t id, std::string& error)>;

    // scale > 1 makes time run that many times faster (test machines only).
    WaitKeeper(std::string path, Starter starter, WaitClock clock = {}, int scale = 1);

    // Counts the time since the last tick into every change that was pending
    // then, stores what is left and starts the due ones. A change first seen
    // now starts counting now: after a restart the wait resumes where the
    // file left it.
    void tick();

    // The reply to "lista" and to "cancelar" on the socket.
    std::string listReply();
    std::string cancelReply();

    // Told how many changes a cancel took away (the trusted person hears).
    void onCancelled(std::function<void(std::size_t)> told) { cancelled_ = std::move(told); }

  private:
    std::int64_t sinceLastTickMs(std::chrono::steady_clock::time_point now) const;
    void reportUnreadable(const std::string& error);

    std::mutex mutex_;
    WaitFile file_;
    Starter starter_;
    WaitClock clock_;
    int scale_;
    std::chrono::steady_clock::time_point lastTick_;
    std::set<std::uint64_t> counted_;
    std::optional<std::int64_t> loggedWait_;
    std::string reportedError_;
    std::function<void(std::size_t)> cancelled_;
};

}  // namespace tranca
