#include "daemon/notices/notice_events.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

constexpr std::int64_t kPutBackEvery = 3600;
constexpr std::int64_t kWeek = 7 * 24 * 3600;
// A stop asked for longer ago than this was not this stop.
constexpr std::int64_t kStopAskedFor = 600;

std::string bootId() {
    auto text = files::readFile("/proc/sys/kernel/random/boot_id", 128).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.find(' ') == std::string::npos ? text : "";
}

std::int64_t secondsSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

}  // namespace

void markStopAsked(const std::string& dataDirectory) {
    std::string error;
    files::replaceFile(dataDirectory + std::string(kStopAskedMark),
                       std::to_string(std::time(nullptr)) + "\n", 0600, error);
}

NoticeEvents::NoticeEvents(std::string dataDirectory, NoticePlaces places,
                           std::function<void()> wake, Clock now)
    : dataDirectory_(std::move(dataDirectory)),
      places_(std::move(places)),
      wake_(std::move(wake)),
      now_(std::move(now)) {}

void NoticeEvents::daemonStarted() {
    const std::string running = dataDirectory_ + std::string(kRunningMark);
    struct stat info {};
    if (::lstat(running.c_str(), &info) == 0) {
        queueNotice(places_, endedAbruptlyWords(now_()));
    }
    std::string error;
    files::replaceFile(running, "1\n", 0600, error);
    ::unlink((dataDirectory_ + std::string(kStopAskedMark)).c_str());
    wake_();
}

bool NoticeEvents::daemonStopping(std::string_view reason, bool systemGoingDown) {
    const std::string asked = dataDirectory_ + std::string(kStopAskedMark);
    struct stat info {};
    const bool wasAsked =
        ::lstat(asked.c_str(), &info) == 0 && now_() - info.st_mtime < kStopAskedFor;
    ::unlink(asked.c_str());
    if (!wasAsked && !systemGoingDown) {
        queueNotice(places_, stoppedWords(reason, now_()));
    }
    ::unlink((dataDirectory_ + std::string(kRunningMark)).c_str());
    return queueState(places_).unsent > 0;
}

void NoticeEvents::putBack(std::string_view what) {
    const std::int64_t now = now_();
    {
        std::lock_guard lock(mutex_);
        const auto last = lastPutBack_.find(what);
        if (last != lastPutBack_.end() && now - last->second < kPutBackEvery) {
            return;
        }
        lastPutBack_[std::string(what)] = now;
    }
    if (queueNotice(places_, putBackWords(what, now))) {
        wake_();
    }
}

void NoticeEvents::changesCancelled(std::size_t count) {
    if (count > 0 && queueNotice(places_, cancelledWords(count, now_()))) {
        wake_();
    }
}

void NoticeEvents::tally(bool protectedNow) {
    std::string error;
    if (!loadTrustedPerson(places_.settingsPath, error) && error.empty()) {
        return;
    }
    NoticeQueue queue(places_.queueFolder);
    const std::int64_t now = now_();
    std::optional<WeekCounts> finished;
    queue.locked(
        NoticeQueue::Lock::files,
        [&] {
            WeekCounts counts = queue.counts();
            const std::string boot = bootId();
            const std::int64_t sinceBoot = secondsSinceBoot();
            if (counts.startedAt == 0 || counts.startedAt > now) {
                counts = WeekCounts{};
                counts.startedAt = now;
            } else {
                const std::int64_t on = counts.bootId == boot && sinceBoot >= counts.bootSeconds
                                            ? sinceBoot - counts.bootSeconds
                                            : sinceBoot;
                counts.secondsOn += on;
                counts.secondsProtected += protectedNow && tallied_ ? on : 0;
            }
            if (now - counts.startedAt >= kWeek) {
                finished = counts;
                counts = WeekCounts{};
                counts.startedAt = now;
            }
            counts.bootId = boot;
            counts.bootSeconds = sinceBoot;
            queue.saveCounts(counts, error);
        },
        error);
    tallied_ = true;
    if (finished && queueNotice(places_, summaryWords(*finished, now))) {
        wake_();
    }
}

}  // namespace tranca
