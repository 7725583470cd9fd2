// GoogleTest's main with a QCoreApplication, so tests can run the event loop
// (timers, sockets, processes) that the app's core relies on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Caches go to a test location and settings to this process's own, so
    // tests run in parallel never see each other's settings.
    QStandardPaths::setTestModeEnabled(true);
    QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("AmparoPruebas"));
    QCoreApplication::setApplicationName(QStringLiteral("AmparoPruebas"));
    return RUN_ALL_TESTS();
}
