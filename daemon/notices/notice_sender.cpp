#include "daemon/notices/notice_sender.h"

#include <sys/stat.h>

#include <algorithm>

#include "contract/notices.h"
#include "daemon/log.h"
#include "daemon/notices/mail_sender.h"
#include "daemon/text.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

// Sends one notice (under the sending lock only: adding stays quick while a
// server is slow); true when it left the queue, sent or given up.
bool sendOne(NoticeQueue& queue, Notice notice, const std::optional<TrustedPerson>& person,
             const std::string& personError, const SenderTimings& timings, std::int64_t now,
             SendPass& pass) {
    std::string error;
    if (now - notice.createdAt > timings.giveUpAfter.count()) {
        logLine("Aviso descartado tras 7 días sin poder enviarse: " + notice.subject);
        queue.locked(
            NoticeQueue::Lock::files, [&] { queue.remove(notice.id); }, error);
        return true;
    }
    MailOutcome outcome{false, personError};
    if (person) {
        const std::string recipient = notice.recipient.empty() ? person->address : notice.recipient;
        outcome = sendMail(*person, recipient,
                           mailMessage(notice, senderAddress(*person), recipient, machineName()),
                           timings.attemptTimeout);
    }
    if (outcome.sent) {
        queue.locked(
            NoticeQueue::Lock::files,
            [&] {
                queue.remove(notice.id);
                WeekCounts counts = queue.counts();
                ++counts.noticesSent;
                queue.saveCounts(counts, error);
            },
            error);
        logLine("Aviso enviado a la persona de confianza: " + notice.subject);
        ++pass.sent;
        return true;
    }
    ++notice.attempts;
    notice.lastFault = outcome.fault;
    notice.nextAttempt = now + pauseAfter(notice.attempts, timings).count();
    queue.locked(
        NoticeQueue::Lock::files, [&] { queue.save(notice, error); }, error);
    pass.nextIn = std::max<std::int64_t>(notice.nextAttempt - now, 1);
    logLine("Aviso sin enviar (intento " + std::to_string(notice.attempts) + "): " + outcome.fault);
    return false;
}

}  // namespace

NoticePlaces noticePlaces(const DaemonConfig& config) {
    return {config.dataDirectory + "/" + std::string(amparo::notices::kSettingsFile),
            config.dataDirectory + "/" + std::string(amparo::notices::kQueueFolder)};
}

std::chrono::seconds pauseAfter(int attempts, const SenderTimings& timings) {
    auto pause = timings.firstPause;
    for (int i = 1; i < attempts && pause < timings.longestPause; ++i) {
        pause *= 2;
    }
    return std::min(pause, timings.longestPause);
}

SenderTimings senderTimingsFor(int scale) {
    SenderTimings timings;
    scale = std::max(scale, 1);
    timings.attemptTimeout =
        std::max<std::chrono::seconds>(timings.attemptTimeout / scale, std::chrono::seconds(3));
    timings.firstPause =
        std::max<std::chrono::seconds>(timings.firstPause / scale, std::chrono::seconds(1));
    timings.longestPause /= scale;
    return timings;
}

std::int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<TrustedPerson> loadTrustedPerson(const std::string& path, std::string& error) {
    error.clear();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    const auto text = files::readFile(path, amparo::notices::kMaxSettingsBytes);
    if (!text) {
        error = "No se pudo leer " + path + ".";
        return std::nullopt;
    }
    auto person = parseTrustedPerson(*text, error);
    if (person && person->address.empty()) {
        error = "Los datos de la persona de confianza no tienen correo.";
        return std::nullopt;
    }
    return person;
}

bool queueNotice(const NoticePlaces& places, const NoticeWords& words, NoticeKind kind,
                 const std::string& recipient) {
    std::string error;
    if (!loadTrustedPerson(places.settingsPath, error) && error.empty()) {
        return false;
    }
    NoticeQueue queue(places.queueFolder);
    const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    const std::int64_t now = nowMs / 1000;
    Notice notice;
    notice.id = NoticeQueue::newId(nowMs);
    notice.createdAt = now;
    notice.nextAttempt = now;
    notice.recipient = recipient;
    notice.subject = words.subject;
    notice.body = words.body;
    bool saved = false;
    const bool usable = queue.locked(
        NoticeQueue::Lock::files,
        [&] {
            saved = queue.save(notice, error);
            if (saved && kind == NoticeKind::changeMade) {
                WeekCounts counts = queue.counts();
                ++counts.changes;
                std::string ignored;
                queue.saveCounts(counts, ignored);
            }
        },
        error);
    if (!usable || !saved) {
        logLine("No se pudo guardar el aviso «" + words.subject + "»: " + error);
        return false;
    }
    // Said only when sent: the command lines that queue speak to the user.
    return true;
}

SendPass sendDueNotices(const NoticePlaces& places, const SenderTimings& timings,
                        std::int64_t now) {
    SendPass pass;
    NoticeQueue queue(places.queueFolder);
    struct stat info {};
    if (::lstat(places.queueFolder.c_str(), &info) != 0) {
        return pass;
    }
    std::string error;
    queue.locked(
        NoticeQueue::Lock::sending,
        [&] {
            std::string personError;
            const auto person = loadTrustedPerson(places.settingsPath, personError);
            if (!person && personError.empty()) {
                personError = "No hay persona de confianza.";
            }
            std::vector<std::string> ids = queue.ids();
            std::size_t next = 0;
            for (; next < ids.size(); ++next) {
                auto notice = queue.read(ids[next]);
                if (!notice) {
                    logLine("Aviso ilegible descartado: " + ids[next]);
                    queue.locked(
                        NoticeQueue::Lock::files, [&] { queue.remove(ids[next]); }, error);
                    continue;
                }
                if (notice->nextAttempt > now) {
                    pass.nextIn = notice->nextAttempt - now;
                    break;
                }
                // In order: a notice that fails holds back the ones after it.
                if (!sendOne(queue, std::move(*notice), person, personError, timings, now, pass)) {
                    break;
                }
            }
            pass.left = ids.size() - std::min(next, ids.size());
            if (pass.left == 0) {
                pass.nextIn.reset();
            }
        },
        error);
    return pass;
}

QueueState queueState(const NoticePlaces& places) {
    QueueState state;
    NoticeQueue queue(places.queueFolder);
    const std::vector<std::string> ids = queue.ids();
    state.unsent = ids.size();
    if (!ids.empty()) {
        if (const auto oldest = queue.read(ids.front())) {
            state.fault = oldest->lastFault;
        }
    }
    return state;
}

std::string noticesReply(const NoticePlaces& places) {
    namespace words = amparo::notices;
    std::string error;
    const auto person = loadTrustedPerson(places.settingsPath, error);
    const QueueState state = queueState(places);
    std::string reply = personLine(person) + "\n" + std::string(words::kUnsentLine) + " " +
                        std::to_string(state.unsent) + "\n";
    const std::string fault = text::oneLine(state.fault.empty() ? error : state.fault, 300);
    if (!fault.empty()) {
        reply += std::string(words::kUnsentFaultLine) + " " + fault + "\n";
    }
    return reply + "fin\n";
}

NoticeSender::NoticeSender(NoticePlaces places, SenderTimings timings,
                           std::chrono::milliseconds poll)
    : places_(std::move(places)), timings_(timings), poll_(poll), thread_([this] { run(); }) {}

NoticeSender::~NoticeSender() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_all();
    thread_.join();
}

void NoticeSender::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wakeUp_.notify_all();
}

void NoticeSender::run() {
    for (;;) {
        const SendPass pass = sendDueNotices(places_, timings_, unixNow());
        auto pause = poll_;
        if (pass.nextIn) {
            pause = std::min<std::chrono::milliseconds>(pause, std::chrono::seconds(*pass.nextIn));
        }
        std::unique_lock lock(mutex_);
        wakeUp_.wait_for(lock, pause, [this] { return woken_ || stopping_; });
        if (stopping_) {
            return;
        }
        woken_ = false;
    }
}

}  // namespace tranca
