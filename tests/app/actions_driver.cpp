// Runs one of Amparo's actions the way the tray application does (model,
// prober, pkexec runner, the scripts and trancad beside the program), answers
// every confirmation with yes, and prints the snapshot observed afterwards as
// JSON. Alerts go to standard error and make the exit status 1. For the
// end-to-end tests on a throw-away machine.
//
//   amparo_actions_driver <amparo dir> estado|activar|desactivar|recuperar|desinstalar
//   amparo_actions_driver <amparo dir> guardar-sitios <bloqueados,…> <permitidos,…>
//   amparo_actions_driver <amparo dir> espera <segundos>|cancelar
#include <QCoreApplication>
#include <QJsonDocument>
#include <QTimer>
#include <cstdio>
#include <map>

#include "app/core/actions.h"
#include "app/core/probe.h"

using namespace amparo;

struct YesDialogs : Dialogs {
    int alerts = 0;
    bool confirm(const QString&, const QString&, const QString&) override { return true; }
    void showFailure(const QString& title, const QString& message) override {
        ++alerts;
        std::fprintf(stderr, "ALERTA: %s: %s\n", qPrintable(title), qPrintable(message));
    }
    bool offer(const QString& title, const QString& text, const QString&) override {
        showFailure(title, text);
        return false;
    }
    bool inform(const QString&, const QString&, const QString&) override { return false; }
    std::optional<QString> askCustomAddress() override { return std::nullopt; }
};

struct NoDesktop : Desktop {
    void openUrl(const QUrl&) override {}
    void openFile(const QString&) override {}
    void copyText(const QString&) override {}
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "uso: %s <directorio de amparo> <acción> […]\n", argv[0]);
        return 64;
    }
    const QString directory = args[1];
    const QString action = args[2];

    auto prober = std::make_shared<Prober>(ProbeSettings::product(directory));
    ProtectionModel model(gathererOf([prober] { return prober->gather(); }));
    PkexecRunner runner(directory + QStringLiteral("/amparo-admin"));
    YesDialogs dialogs;
    NoDesktop desktop;
    ProtectionActions actions(model, runner, dialogs, desktop, ActionPaths::product(directory));
    const auto list = [&args](int at) { return args.value(at).split(u',', Qt::SkipEmptyParts); };
    const std::map<QString, std::function<void()>> run{
        {"estado", [&] { model.refresh(); }},
        {"activar", [&] { actions.activate(); }},
        {"desactivar", [&] { actions.deactivate(); }},
        {"recuperar", [&] { actions.restoreInternet(); }},
        {"desinstalar", [&] { actions.uninstall(); }},
        {"guardar-sitios", [&] { actions.saveSites(list(3), list(4)); }},
        {"espera", [&] { actions.setWait(args.value(3).toLongLong()); }},
        {"cancelar", [&] { actions.cancelPending(); }},
    };
    const bool known = run.contains(action) && (action != "guardar-sitios" || args.size() == 5) &&
                       (action != "espera" || args.size() == 4);

    // Done at the first refresh that follows the end of the privileged run
    // (or, for "estado", at the first refresh).
    bool ran = action == QLatin1String("estado");
    QObject::connect(&model, &ProtectionModel::busyChanged,
                     [&] { ran = ran || model.busy().isEmpty(); });
    QObject::connect(&model, &ProtectionModel::refreshed, [&](const ProtectionSnapshot& seen) {
        if (ran && model.busy().isEmpty()) {
            std::printf("%s\n", QJsonDocument(toJson(seen)).toJson(QJsonDocument::Compact).data());
            app.exit(dialogs.alerts == 0 ? 0 : 1);
        }
    });
    QTimer::singleShot(0, [&] {
        if (!known) {
            std::fprintf(stderr, "acción desconocida: %s\n", qPrintable(action));
            app.exit(64);
            return;
        }
        run.at(action)();
        if (action != QLatin1String("estado") && model.busy().isEmpty()) {
            std::fprintf(stderr, "la acción no llegó a correr\n");
            app.exit(1);
        }
    });
    return app.exec();
}
