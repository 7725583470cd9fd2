#include "app/core/list_files.h"

#include <sys/stat.h>

#include <QFile>

#include "app/core/text.h"
#include "daemon/lists/list_file.h"
#include "platform/posix/file_util.h"

namespace amparo {

namespace {

// Lists far beyond any real block list are not read at all, so a runaway
// file cannot take the app's memory.
constexpr std::size_t kMaxListBytes = 256u << 20;
constexpr std::size_t kMaxSmallFileBytes = 16u << 20;

std::string_view trimmed(std::string_view line) {
    constexpr std::string_view kBlank = " \t\r";
    const auto first = line.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(kBlank) - first + 1);
}

// The names the daemon would load from path; none for a file past maxBytes.
tranca::NameSet loadNames(const QString& path, std::size_t maxBytes) {
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (::stat(name.constData(), &info) != 0 || static_cast<std::size_t>(info.st_size) > maxBytes) {
        return {};
    }
    return tranca::parseListFile(name.toStdString());
}

}  // namespace

void forEachListEntry(std::string_view text, const std::function<void(std::string_view)>& take) {
    // A byte-order mark is an editor's, not part of the first entry.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view entry = trimmed(text.substr(0, end));
        if (!entry.empty() && entry.front() != '#') {
            take(entry);
        }
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

std::optional<std::string> readUserListBytes(const QString& path) {
    return tranca::platform::posix_files::readFile(QFile::encodeName(path).toStdString(),
                                                   kMaxSmallFileBytes);
}

QStringList readListFile(const QString& path) {
    QStringList entries;
    if (const auto bytes = readUserListBytes(path)) {
        forEachListEntry(*bytes, [&entries](std::string_view entry) { entries << qtext(entry); });
    }
    return entries;
}

qint64 countBlockedSites(const QString& blocklist, const QString& customList) {
    const tranca::NameSet blocked = loadNames(blocklist, kMaxListBytes);
    const tranca::NameSet custom = loadNames(customList, kMaxSmallFileBytes);
    return static_cast<qint64>(tranca::namesInEither(blocked, custom));
}

}  // namespace amparo
