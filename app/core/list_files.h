// The daemon's list files as Amparo reads them: the user's entries as they
// were written, to show and edit, and the number of sites the block list and
// the custom list block, counted as the daemon loads them.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace amparo {

// The entries of a list file: lines trimmed of spaces, tabs and carriage
// returns, without empty and "#" lines, in file order. Missing, unreadable,
// non-regular or oversized files give no entries.
QStringList readListFile(const QString& path);

// The bytes of a list file of the user's (custom, allow, redirect): none when
// it is missing, unreadable, not a regular file or beyond any real list.
std::optional<std::string> readUserListBytes(const QString& path);

// Calls take(entry) for each entry of list text, without copying.
void forEachListEntry(std::string_view text, const std::function<void(std::string_view)>& take);

// The distinct names the two lists block together, read by the daemon's own
// parser, so the count is the one the daemon logs: hosts-file boilerplate,
// CR LF line ends, case and trailing dots do not make extra sites. A file
// missing, unreadable or beyond any real list counts as empty.
qint64 countBlockedSites(const QString& blocklist, const QString& customList);

}  // namespace amparo
