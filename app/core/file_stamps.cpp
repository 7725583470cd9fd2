#include "app/core/file_stamps.h"

#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace amparo {

QString fileStamp(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return QStringLiteral("0-0");
    }
    const double seconds =
        static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
    return QString::number(static_cast<quint64>(info.st_size)) + QLatin1Char('-') +
           QString::number(seconds, 'f', 9);
}

std::optional<QByteArray> fileDigest(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) {
        return std::nullopt;
    }
    return hash.result().toHex();
}

}  // namespace amparo
