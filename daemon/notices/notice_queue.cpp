#include "daemon/notices/notice_queue.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>

#include "daemon/text.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

namespace files = platform::posix_files;

constexpr std::string_view kSuffix = ".aviso";
constexpr std::string_view kCountsFile = "/semana.txt";
constexpr std::size_t kMaxNoticeBytes = 64 * 1024;

using text::oneLine;
using text::parseInteger;

// "key value" header lines up to a blank line; the value may be empty.
struct Header {
    std::string_view key;
    std::string_view value;
};

std::optional<Header> headerLine(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == 0 || line.empty()) {
        return std::nullopt;
    }
    if (space == std::string_view::npos) {
        return Header{line, {}};
    }
    return Header{line.substr(0, space), line.substr(space + 1)};
}

}  // namespace

std::string noticeText(const Notice& notice) {
    std::string text = "id " + notice.id + "\ncreado " + std::to_string(notice.createdAt) +
                       "\nsiguiente " + std::to_string(notice.nextAttempt) + "\nintentos " +
                       std::to_string(notice.attempts) + "\n";
    if (!notice.recipient.empty()) {
        text += "para " + oneLine(notice.recipient) + "\n";
    }
    if (!notice.lastFault.empty()) {
        text += "fallo " + oneLine(notice.lastFault) + "\n";
    }
    return text + "asunto " + oneLine(notice.subject) + "\n\n" + notice.body;
}

std::optional<Notice> parseNotice(std::string_view text) {
    Notice notice;
    bool hasId = false;
    for (;;) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.empty()) {
            break;
        }
        const auto header = headerLine(line);
        if (!header) {
            return std::nullopt;
        }
        std::optional<std::int64_t> value;
        if (header->key == "id" && !header->value.empty()) {
            notice.id = header->value;
            hasId = true;
        } else if (header->key == "creado" && (value = parseInteger(header->value))) {
            notice.createdAt = *value;
        } else if (header->key == "siguiente" && (value = parseInteger(header->value))) {
            notice.nextAttempt = *value;
        } else if (header->key == "intentos" && (value = parseInteger(header->value)) &&
                   *value >= 0 && *value < 1'000'000) {
            notice.attempts = static_cast<int>(*value);
        } else if (header->key == "para") {
            notice.recipient = header->value;
        } else if (header->key == "fallo") {
            notice.lastFault = header->value;
        } else if (header->key == "asunto") {
            notice.subject = header->value;
        } else {
            return std::nullopt;
        }
    }
    if (!hasId) {
        return std::nullopt;
    }
    notice.body = text;
    return notice;
}

std::string weekCountsText(const WeekCounts& counts) {
    return "inicio " + std::to_string(counts.startedAt) + "\nencendido " +
           std::to_string(counts.secondsOn) + "\nprotegido " +
           std::to_string(counts.secondsProtected) + "\ncambios " + std::to_string(counts.changes) +
           "\navisos " + std::to_string(counts.noticesSent) + "\narranque " +
           (counts.bootId.empty() ? "-" : counts.bootId) + " " +
           std::to_string(counts.bootSeconds) + "\n";
}

std::optional<WeekCounts> parseWeekCounts(std::string_view text) {
    WeekCounts counts;
    bool understood = true;
    text::forEachLine(text, [&](std::string_view line) {
        const auto header = headerLine(line);
        understood = understood && header.has_value();
        if (!understood) {
            return;
        }
        std::string_view value = header->value;
        if (header->key == "arranque") {
            const std::size_t space = value.find(' ');
            if (space == std::string_view::npos) {
                understood = false;
                return;
            }
            counts.bootId = value.substr(0, space) == "-" ? "" : value.substr(0, space);
            value.remove_prefix(space + 1);
        }
        const auto parsed = parseInteger(value);
        understood = parsed && *parsed >= 0;
        if (!understood) {
            return;
        }
        if (header->key == "inicio") {
            counts.startedAt = *parsed;
        } else if (header->key == "encendido") {
            counts.secondsOn = *parsed;
        } else if (header->key == "protegido") {
            counts.secondsProtected = *parsed;
        } else if (header->key == "cambios") {
            counts.changes = *parsed;
        } else if (header->key == "avisos") {
            counts.noticesSent = *parsed;
        } else if (header->key == "arranque") {
            counts.bootSeconds = *parsed;
        } else {
            understood = false;
        }
    });
    if (!understood) {
        return std::nullopt;
    }
    return counts;
}

NoticeQueue::NoticeQueue(std::string folder) : folder_(std::move(folder)) {}

std::string NoticeQueue::newId(std::int64_t nowMs) {
    static std::atomic<unsigned> sequence{0};
    char text[64];
    std::snprintf(text, sizeof text, "%016lld-%d-%u", static_cast<long long>(nowMs),
                  static_cast<int>(::getpid()), sequence.fetch_add(1));
    return text;
}

std::string NoticeQueue::pathOf(const std::string& id) const {
    return folder_ + "/" + id + std::string(kSuffix);
}

bool NoticeQueue::ensureFolder(std::string& error) {
    if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "no se pudo crear " + folder_ + ": " + files::systemError(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(folder_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        error = folder_ + " no es una carpeta propia";
        return false;
    }
    return true;
}

bool NoticeQueue::locked(Lock which, const std::function<void()>& work, std::string& error) {
    if (!ensureFolder(error)) {
        return false;
    }
    files::FileLock lock(folder_ + (which == Lock::files ? "/.lock" : "/.envio.lock"));
    if (!lock.lock(error)) {
        return false;
    }
    work();
    return true;
}

std::vector<std::string> NoticeQueue::ids() const {
    std::vector<std::string> found;
    DIR* folder = ::opendir(folder_.c_str());
    if (folder == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        if (name.size() > kSuffix.size() && name.front() != '.' && name.ends_with(kSuffix)) {
            found.emplace_back(name.substr(0, name.size() - kSuffix.size()));
        }
    }
    ::closedir(folder);
    std::sort(found.begin(), found.end());
    return found;
}

std::optional<Notice> NoticeQueue::read(const std::string& id) const {
    const auto text = files::readFile(pathOf(id), kMaxNoticeBytes);
    return text ? parseNotice(*text) : std::nullopt;
}

bool NoticeQueue::save(const Notice& notice, std::string& error) {
    return files::replaceFile(pathOf(notice.id), noticeText(notice), 0600, error);
}

void NoticeQueue::remove(const std::string& id) {
    const std::string path = pathOf(id);
    ::unlink(path.c_str());
    files::syncDirectoryOf(path);
}

WeekCounts NoticeQueue::counts() const {
    const auto text = files::readFile(folder_ + std::string(kCountsFile), 4096);
    return text ? parseWeekCounts(*text).value_or(WeekCounts{}) : WeekCounts{};
}

bool NoticeQueue::saveCounts(const WeekCounts& counts, std::string& error) {
    return files::replaceFile(folder_ + std::string(kCountsFile), weekCountsText(counts), 0600,
                              error);
}

}  // namespace tranca
