// What the trusted person reads: the Spanish subject and body of each notice,
// and the mail they travel in. A notice says what happened to the protection
// and when, on which machine; it never names a site.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "daemon/notices/notice_queue.h"
#include "daemon/wait/pending_changes.h"

namespace tranca {

struct NoticeWords {
    std::string subject;
    std::string body;
};

// "08/12/2026 23:10", local time.
std::string localTimeText(std::int64_t unixSeconds);

// A loosening change recorded under the wait, due at dueAt.
NoticeWords requestedWords(const PendingChange& change, std::int64_t dueAt);
// A loosening change made; what is a past-tense phrase ("la protección se
// desactivó").
NoticeWords carriedOutWords(std::string_view what, std::int64_t at);
NoticeWords cancelledWords(std::size_t count, std::int64_t at);
// The filter stopped with nobody asking through Amparo.
NoticeWords stoppedWords(std::string_view reason, std::int64_t at);
// The last run ended without its stop routine (killed, crashed, power cut).
NoticeWords endedAbruptlyWords(std::int64_t at);
// Someone changed what the self-check keeps (the DNS, the proxy) and it was
// put back.
NoticeWords putBackWords(std::string_view what, std::int64_t at);
NoticeWords summaryWords(const WeekCounts& counts, std::int64_t at);
NoticeWords testWords(std::int64_t at);

// This machine's name, with anything that is not printable ASCII replaced,
// so it cannot break a header or a line.
std::string machineName();

// The whole message, CRLF lines: headers (non-ASCII ones as RFC 2047
// encoded words, control characters removed) and the body in base64.
std::string mailMessage(const Notice& notice, std::string_view from, std::string_view to,
                        std::string_view machine);

}  // namespace tranca
