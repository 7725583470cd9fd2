#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <sys/stat.h>

namespace amparo::testing {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    QDeadlineTimer deadline(limit);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

void writeFile(const QString& path, const QByteArray& bytes, int mode) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
}

void appendFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value) : name_(name) {
    if (qEnvironmentVariableIsSet(name)) {
        saved_ = qgetenv(name);
    }
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        qputenv(name_, *saved_);
    } else {
        qunsetenv(name_);
    }
}

StandInPrograms::StandInPrograms()
    : pathVariable_("PATH", QFile::encodeName(dir_.path()) + ':' + qgetenv("PATH")) {}

void StandInPrograms::add(const QString& name, const QByteArray& body) {
    writeFile(dir_.path(name), "#!/bin/sh\n" + body, 0755);
}

}  // namespace amparo::testing
