#include "app/core/list_files.h"

#include <QFile>
#include <algorithm>
#include <utility>
#include <vector>

#include "app/core/text.h"
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

std::optional<std::string> readBytes(const QString& path, std::size_t maxBytes) {
    return tranca::platform::posix_files::readFile(QFile::encodeName(path).toStdString(), maxBytes);
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
    return readBytes(path, kMaxSmallFileBytes);
}

QStringList readListFile(const QString& path) {
    QStringList entries;
    if (const auto bytes = readUserListBytes(path)) {
        forEachListEntry(*bytes, [&entries](std::string_view entry) { entries << qtext(entry); });
    }
    return entries;
}

qint64 countBlockedSites(const QString& blocklist, const QString& customList) {
    const std::string blocked = readBytes(blocklist, kMaxListBytes).value_or("");
    const std::string custom = readUserListBytes(customList).value_or("");
    // Sorted by hash, then by text: equal entries end up side by side without
    // a node allocated per entry, and equal hashes still compare the text.
    using Entry = std::pair<std::size_t, std::string_view>;
    std::vector<Entry> entries;
    entries.reserve(blocked.size() / 20 + custom.size() / 16 + 16);
    const auto take = [&entries](std::string_view entry) {
        entries.emplace_back(std::hash<std::string_view>{}(entry), entry);
    };
    forEachListEntry(blocked, take);
    forEachListEntry(custom, take);
    std::sort(entries.begin(), entries.end());
    return std::distance(entries.begin(), std::unique(entries.begin(), entries.end()));
}

}  // namespace amparo
