// Sending the trusted person's notices: the queue is sent in order, one
// notice at a time under the queue's lock (so the daemon and a detached
// sender never send the same one), retried with a growing pause for up to
// 7 days, and removed only once the server accepted it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "daemon/config.h"
#include "daemon/notices/notice_queue.h"
#include "daemon/notices/notice_text.h"
#include "daemon/notices/trusted_person.h"

namespace tranca {

struct NoticePlaces {
    std::string settingsPath;
    std::string queueFolder;
};
NoticePlaces noticePlaces(const DaemonConfig& config);

struct SenderTimings {
    std::chrono::seconds attemptTimeout{30};
    std::chrono::seconds firstPause{30};
    std::chrono::seconds longestPause{3600};
    std::chrono::seconds giveUpAfter{7 * 24 * 3600};
};
// The test machines' time scale shortens the pauses and the time per attempt.
SenderTimings senderTimingsFor(int scale);
// The pause before the next try of a notice tried attempts times: doubling
// from firstPause up to longestPause, so an outage is not hammered.
std::chrono::seconds pauseAfter(int attempts, const SenderTimings& timings);

// The stored person; nullopt with an empty error when none is set, with the
// reason when the file is there but unusable.
std::optional<TrustedPerson> loadTrustedPerson(const std::string& path, std::string& error);

// Queues a notice when a trusted person is set (even one whose settings are
// broken: it waits for them to be mended). recipient fixes who gets it; a
// loosening change made is also counted for the weekly summary.
enum class NoticeKind { event, changeMade };
bool queueNotice(const NoticePlaces& places, const NoticeWords& words,
                 NoticeKind kind = NoticeKind::event, const std::string& recipient = {});

struct SendPass {
    std::size_t sent = 0;
    std::size_t left = 0;
    // Seconds until the first notice left is due; none when nothing is left.
    std::optional<std::int64_t> nextIn;
};
// Sends the due notices in order until one fails; now is Unix seconds.
SendPass sendDueNotices(const NoticePlaces& places, const SenderTimings& timings, std::int64_t now);

// The number of unsent notices and why the oldest last failed.
struct QueueState {
    std::size_t unsent = 0;
    std::string fault;
};
QueueState queueState(const NoticePlaces& places);

// The wait socket's reply to "avisos": the person without the password, the
// unsent count and the last fault, then "fin".
std::string noticesReply(const NoticePlaces& places);

std::int64_t unixNow();

// The daemon's sending thread: a pass whenever woken, when the next notice is
// due, and at least every poll interval (notices queued by other processes).
class NoticeSender {
  public:
    NoticeSender(NoticePlaces places, SenderTimings timings, std::chrono::milliseconds poll);
    ~NoticeSender();
    NoticeSender(const NoticeSender&) = delete;
    NoticeSender& operator=(const NoticeSender&) = delete;

    void wake();

  private:
    void run();

    NoticePlaces places_;
    SenderTimings timings_;
    std::chrono::milliseconds poll_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool woken_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tranca
