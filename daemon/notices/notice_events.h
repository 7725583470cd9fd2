// The daemon's own notices to the trusted person: a last run that ended
// without its stop routine, a stop nobody asked for through Amparo, a
// setting the self-check had to put back (at most one notice per kind an
// hour), and the weekly summary, tallied every maintenance tick.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "daemon/notices/notice_sender.h"

namespace tranca {

// The marks beside the data: this run is on (gone only after a clean stop),
// and a stop was asked for (written by the scripts that stop the service).
inline constexpr std::string_view kRunningMark = "/en-marcha";
inline constexpr std::string_view kStopAskedMark = "/parada-pedida";

void markStopAsked(const std::string& dataDirectory);

class NoticeEvents {
  public:
    using Clock = std::function<std::int64_t()>;
    NoticeEvents(std::string dataDirectory, NoticePlaces places, std::function<void()> wake,
                 Clock now = unixNow);

    void daemonStarted();
    // True when notices are left in the queue.
    bool daemonStopping(std::string_view reason, bool systemGoingDown);
    void putBack(std::string_view what);
    void changesCancelled(std::size_t count);
    // Adds the time since the last tally (protectedSince: the filter answered
    // and the machine's DNS pointed at it); sends the summary once a week.
    void tally(bool protectedNow);

  private:
    std::string dataDirectory_;
    NoticePlaces places_;
    std::function<void()> wake_;
    Clock now_;
    std::mutex mutex_;
    std::map<std::string, std::int64_t, std::less<>> lastPutBack_;
    // The first tally of a run covers time the filter was not running.
    bool tallied_ = false;
};

}  // namespace tranca
