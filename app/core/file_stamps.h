// Whether a file changed since it was last looked at, and what it holds, told
// cheaply: the stamp from one stat, the digest only when a stamp moved.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace amparo {

// "<size>-<modification time>", "0-0" for what cannot be read: equal stamps
// mean the file was not touched.
QString fileStamp(const QString& path);

// The file's SHA-256 in hex; none when it is not a readable regular file.
std::optional<QByteArray> fileDigest(const QString& path);

}  // namespace amparo
