// Amparo: the tray application of the filter.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/app_delegate.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Amparo"));
    QApplication::setApplicationName(QStringLiteral("Amparo"));
    QApplication::setApplicationVersion(QStringLiteral(AMPARO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("amparo"));
    // The window closes to the tray; only "Salir de Amparo" ends it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Qt's own texts in dialogs ("Mostrar detalles…") in Spanish too.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Spanish), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTexts);
    }

    auto capture = amparo::captureRequest(QApplication::arguments());
    if (!capture && amparo::AppDelegate::reopenRunning()) {
        return 0;
    }
    amparo::AppDelegate delegate(std::move(capture));
    delegate.launch();
    return QApplication::exec();
}
