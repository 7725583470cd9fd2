// Amparo: the tray application of the filter.
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <cstdio>
#include <optional>

#include "app/app_delegate.h"
#include "app/core/entry.h"
#include "app/ui/instance_channel.h"
#include "app/ui/sites_view.h"

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

    const QStringList arguments = QApplication::arguments();
    auto capture = amparo::captureRequest(arguments);
    std::optional<QString> permit;
    if (const auto link = amparo::permitArgument(arguments)) {
        // Any web page can open such a link: anything but the one shape the
        // block page writes opens nothing at all.
        permit = amparo::ui::permitLinkSite(*link);
        if (!permit) {
            std::fprintf(stderr,
                         "Amparo: el enlace no es de una página de bloqueo; no se abre nada\n");
            return 1;
        }
    }
    if (!capture &&
        amparo::ui::InstanceChannel::tell(amparo::ui::InstanceChannel::defaultName(), permit)) {
        return 0;
    }
    amparo::AppDelegate delegate(std::move(capture), std::move(permit),
                                 amparo::startsInPanel(arguments));
    delegate.launch();
    return QApplication::exec();
}
