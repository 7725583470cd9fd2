// Helpers shared by the app's tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>

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

// A scratch directory removed at the end of the test.
class Scratch {
  public:
    Scratch();
    QString path(const QString& relative = {}) const;

  private:
    QTemporaryDir dir_;
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
// so code that starts "pkexec" or "systemctl" by name starts the stand-in.
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
