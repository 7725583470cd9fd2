// Helpers shared by the app's tests.
#pragma once

#include <QByteArray>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>

#include "app/core/dialogs.h"
#include "app/core/model.h"

// GoogleTest shows a QString in a failure as its text, not as UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace amparo::testing {

// Runs the event loop until the condition holds or the time is up; the
// condition's last value.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// Writes (replaces) a file, creating its directory; mode as in chmod.
void writeFile(const QString& path, const QByteArray& bytes, int mode = 0644);
void appendFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

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

// Sets an environment variable until the end of the scope, then puts back
// what was there (or unsets it).
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<QByteArray> saved_;
};

// A directory of stand-in programs, first on PATH until the end of the test,
// so code that starts "pkexec" by name starts the stand-in.
class StandInPrograms {
  public:
    StandInPrograms();
    // Writes an executable /bin/sh script with this body.
    void add(const QString& name, const QByteArray& body);
    QString path(const QString& name = {}) const { return dir_.path(name); }

  private:
    Scratch dir_;  // declared first: PATH is put back before the directory goes
    ScopedEnv pathVariable_;
};

}  // namespace amparo::testing
