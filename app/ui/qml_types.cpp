#include "app/ui/qml_types.h"

#include <QQmlEngine>

#include "app/core/snapshot.h"
#include "app/ui/content_view.h"
#include "app/ui/sites_view.h"
#include "app/ui/theme.h"
#include "app/ui/trusted_person_view.h"

namespace amparo::ui {

void registerQmlTypes(Theme& theme) {
    qmlRegisterSingletonInstance("Amparo", 1, 0, "Theme", &theme);
    qmlRegisterUncreatableMetaObject(amparo::staticMetaObject, "Amparo", 1, 0, "Amparo",
                                     QStringLiteral("solo enumeraciones"));
    qmlRegisterUncreatableType<ProtectionModel>("Amparo", 1, 0, "ProtectionModel",
                                                QStringLiteral("lo crea la aplicación"));
    qmlRegisterUncreatableType<WindowViewModel>("Amparo", 1, 0, "WindowViewModel",
                                                QStringLiteral("lo crea la aplicación"));
    qmlRegisterUncreatableType<TrustedPersonView>("Amparo", 1, 0, "TrustedPersonView",
                                                  QStringLiteral("lo crea la ventana"));
    qmlRegisterUncreatableType<SitesSheet>("Amparo", 1, 0, "SitesSheet",
                                           QStringLiteral("lo crea la aplicación"));
    qmlRegisterUncreatableType<SiteListModel>("Amparo", 1, 0, "SiteListModel",
                                              QStringLiteral("lo crea la hoja de sitios"));
}

void addImageProviders(QQmlEngine& engine) {
    engine.addImageProvider(QStringLiteral("simbolo"), new SymbolProvider);
}

}  // namespace amparo::ui
