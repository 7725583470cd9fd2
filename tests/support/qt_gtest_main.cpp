// GoogleTest's main with a QCoreApplication, so tests can run the event loop
// (timers, sockets, processes) that the app's core relies on.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QStandardPaths>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Settings and caches go to a test location, never the user's own.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("AmparoPruebas"));
    QCoreApplication::setApplicationName(QStringLiteral("AmparoPruebas"));
    return RUN_ALL_TESTS();
}
