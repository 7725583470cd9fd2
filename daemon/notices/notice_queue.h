// The trusted person's notices waiting to be sent: one file each in a
// root-only folder of the data directory, so nothing is lost while the
// machine is offline or across restarts, and the daemon, its detached sender
// and the root command line can all add to it. Files are named by their id,
// which sorts by creation: the queue is sent in order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tranca {

struct Notice {
    // "<milliseconds since 1970, 16 digits>-<pid>-<sequence>": unique across
    // the processes that add, and the Message-ID that lets a mailbox drop a
    // copy sent twice.
    std::string id;
    std::int64_t createdAt = 0;    // Unix seconds
    std::int64_t nextAttempt = 0;  // Unix seconds
    int attempts = 0;
    // A fixed recipient (the person being replaced); empty: the current one.
    std::string recipient;
    std::string lastFault;
    std::string subject;
    std::string body;

    bool operator==(const Notice&) const = default;
};

std::string noticeText(const Notice& notice);
// nullopt when a header line is not understood or the blank line is missing.
std::optional<Notice> parseNotice(std::string_view text);

// Counts for the weekly summary, kept beside the queue under its lock.
struct WeekCounts {
    std::int64_t startedAt = 0;
    std::int64_t secondsOn = 0;
    std::int64_t secondsProtected = 0;
    std::int64_t changes = 0;
    std::int64_t noticesSent = 0;
    std::string bootId;
    std::int64_t bootSeconds = 0;

    bool operator==(const WeekCounts&) const = default;
};
std::string weekCountsText(const WeekCounts& counts);
std::optional<WeekCounts> parseWeekCounts(std::string_view text);

class NoticeQueue {
  public:
    explicit NoticeQueue(std::string folder);
    const std::string& folder() const { return folder_; }

    // Runs work under one of the queue's locks (a lock file in the folder,
    // created 0700 with it): the files' lock, held for moments, or the
    // sending lock, held through a slow send so that one sender at a time
    // sends. False, with error, when the folder or lock is unusable.
    enum class Lock { files, sending };
    bool locked(Lock which, const std::function<void()>& work, std::string& error);

    // Writing expects the files' lock to be held.
    std::vector<std::string> ids() const;
    std::optional<Notice> read(const std::string& id) const;
    bool save(const Notice& notice, std::string& error);
    void remove(const std::string& id);
    WeekCounts counts() const;
    bool saveCounts(const WeekCounts& counts, std::string& error);

    // A new id, unique among this process's and other processes' notices.
    static std::string newId(std::int64_t nowMs);

  private:
    std::string pathOf(const std::string& id) const;
    bool ensureFolder(std::string& error);

    std::string folder_;
};

}  // namespace tranca
