// Helpers shared by the app's tests: a Qt event loop to wait on, scratch
// files, stand-in programs, and stand-ins for the app's outside world.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <optional>
#include <ostream>

#include <sys/stat.h>

#include "app/core/dialogs.h"
#include "app/core/model.h"

// GoogleTest shows a QString in a failure as its text, not as UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace amparo::testing {

// Runs the event loop until the condition holds or the time is up.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return QTest::qWaitFor(condition, int(limit.count()));
}

// Writes (replaces) a file, creating its directory; mode as in chmod.
inline void writeFile(const QString& path, const QByteArray& bytes, int mode = 0644) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
}

inline void appendFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Asks for a refresh and waits until the model has delivered it.
inline bool refreshed(ProtectionModel& model) {
    QSignalSpy done(&model, &ProtectionModel::refreshed);
    model.refresh();
    return waitUntil([&] { return !done.isEmpty(); });
}

inline ProtectionSnapshot snapshotOf(Protection protection, bool installed = true,
                                     bool outdated = false) {
    ProtectionSnapshot snapshot;
    snapshot.protection = protection;
    snapshot.installed = installed;
    snapshot.outdated = outdated;
    return snapshot;
}

// Keeps what was opened (pages and files) and the last text copied.
struct RecordingDesktop : Desktop {
    QStringList opened;
    QString clipboard;
    void openUrl(const QUrl& url) override { opened << url.toString(); }
    void openFile(const QString& path) override { opened << path; }
    void copyText(const QString& text) override { clipboard = text; }
};

// A scratch directory removed at the end of the test.
struct Scratch : QTemporaryDir {
    QString path(const QString& relative = {}) const {
        return relative.isEmpty() ? QTemporaryDir::path() : filePath(relative);
    }
};

// Sets an environment variable until the guard goes, then puts back what was
// there (or unsets it).
[[nodiscard]] inline auto scopedEnv(const char* name, const QByteArray& value) {
    const auto saved =
        qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    qputenv(name, value);
    return qScopeGuard([name, saved] { saved ? qputenv(name, *saved) : qunsetenv(name); });
}

// A directory of stand-in programs, first on PATH until the end of the test,
// so code that starts "pkexec" by name starts the stand-in.
class StandInPrograms {
  public:
    // Writes an executable /bin/sh script with this body.
    void add(const QString& name, const QByteArray& body) {
        writeFile(dir_.path(name), "#!/bin/sh\n" + body, 0755);
    }
    QString path(const QString& name = {}) const { return dir_.path(name); }

  private:
    Scratch dir_;  // declared first: PATH is put back before the directory goes
    decltype(scopedEnv("", {})) path_ =
        scopedEnv("PATH", QFile::encodeName(dir_.path()) + ':' + qgetenv("PATH"));
};

}  // namespace amparo::testing
