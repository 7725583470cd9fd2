#include "app/core/actions.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include "app/core/os_table.h"
#include "app/core/probe.h"
#include "app/core/text.h"

namespace amparo {

namespace {

using namespace std::chrono_literals;

// Lets the busy overlay be drawn before the password dialog takes the screen.
constexpr auto kBusyPaintDelay = 50ms;

bool hasControlCharacter(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
               c == QChar::ParagraphSeparator;
    });
}

const QString kStagingFailed = QStringLiteral(
    "No se pudo preparar la copia en la carpeta temporal. Revisá el espacio libre del disco.");

// Staged copies hold the user's lists: gone once root has copied them.
void removeStaged(const QString& staged) {
    QDir(QFileInfo(staged).absolutePath()).removeRecursively();
}

}  // namespace

ActionPaths ActionPaths::product(const QString& applicationDirectory) {
    return {.applicationDirectory = applicationDirectory,
            .dataDirectory = qtext(os::kCurrent.paths.dataDirectory),
            .logFile = qtext(os::kCurrent.paths.logFile)};
}

ProtectionActions::ProtectionActions(ProtectionModel& model, PrivilegedRunner& runner,
                                     Dialogs& dialogs, Desktop& desktop, ActionPaths paths,
                                     QObject* parent)
    : QObject(parent),
      model_(model),
      runner_(runner),
      dialogs_(dialogs),
      desktop_(desktop),
      paths_(std::move(paths)) {}

void ProtectionActions::runAction(const QString& busyText, const QString& command,
                                  Completion completion) {
    if (!model_.busy().isEmpty()) {
        return;
    }
    model_.setBusy(busyText);
    QTimer::singleShot(kBusyPaintDelay, this, [this, command, completion] {
        runner_.run(command, [this, completion](const PrivilegedResult& result) {
            model_.setBusy({});
            completion(result);
            model_.refresh();
        });
    });
}

void ProtectionActions::showMissingPart() {
    dialogs_.showFailure(QStringLiteral("Falta una parte de Amparo"),
                         qtext(os::kCurrent.missingPartText));
}

std::optional<QString> ProtectionActions::scriptCommand(const QString& name) {
    const QString path = paths_.script(name);
    if (!QFileInfo(path).isFile()) {
        showMissingPart();
        return std::nullopt;
    }
    return QStringLiteral("/bin/bash ") + shellQuote(path);
}

ProtectionActions::Completion ProtectionActions::reportTo(const QString& failureTitle,
                                                          const QString& successNotice) {
    return [this, failureTitle, successNotice](const PrivilegedResult& result) {
        if (result.kind == PrivilegedResult::Kind::failed) {
            dialogs_.showFailure(failureTitle, result.text);
        } else if (result.kind == PrivilegedResult::Kind::ok && !successNotice.isEmpty()) {
            model_.showNotice(successNotice);
        }
    };
}

void ProtectionActions::runScript(const QString& name, const QString& busyText,
                                  Completion completion) {
    if (const auto command = scriptCommand(name)) {
        runAction(busyText, *command, std::move(completion));
    }
}

void ProtectionActions::updateWatcher() {
    if (updateWatcher_) {
        updateWatcher_();
    }
}

void ProtectionActions::activate() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    runScript(QStringLiteral("install.sh"), QStringLiteral("Activando la protección…"),
              [this](const PrivilegedResult& result) {
                  if (result.kind != PrivilegedResult::Kind::failed) {
                      return;
                  }
                  const auto& table = os::kCurrent;
                  if (!result.text.contains(qtext(table.serviceOffMarker))) {
                      dialogs_.showFailure(QStringLiteral("No se pudo activar"), result.text);
                      return;
                  }
                  if (dialogs_.offer(qtext(table.serviceOffTitle), qtext(table.serviceOffText),
                                     qtext(table.serviceOffButton))) {
                      if (!table.serviceOffUrl.empty()) {
                          desktop_.openUrl(QUrl(qtext(table.serviceOffUrl)));
                      } else {
                          desktop_.copyText(qtext(table.serviceOffCommand));
                      }
                  }
              });
}

void ProtectionActions::deactivate() {
    if (!model_.busy().isEmpty() ||
        !dialogs_.confirm(QStringLiteral("¿Desactivar la protección?"),
                          qtext(os::kCurrent.deactivateText), QStringLiteral("Desactivar"))) {
        return;
    }
    runScript(QStringLiteral("disable.sh"), QStringLiteral("Desactivando…"),
              reportTo(QStringLiteral("No se pudo desactivar")));
}

void ProtectionActions::restoreInternet() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    const QString copy = paths_.daemonCopy();
    if (!QFileInfo(copy).isFile()) {
        showMissingPart();
        return;
    }
    // The flush runs only after the switch succeeded, so the command's exit
    // status is the switch's own: a failed switch is never reported as done.
    const QString command = shellQuote(copy) + QStringLiteral(" --dns respaldo && { ") +
                            qtext(os::kCurrent.cacheFlush) + QStringLiteral("; true; }");
    runAction(QStringLiteral("Recuperando internet…"), command,
              reportTo(QStringLiteral("No se pudo recuperar internet"),
                       QStringLiteral("Internet de vuelta, con el filtro de Cloudflare")));
}

void ProtectionActions::updateList() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    runAction(QStringLiteral("Actualizando la lista…"),
              QStringLiteral("/bin/bash ") +
                  shellQuote(paths_.data(QStringLiteral("update_blocklist.sh"))),
              reportTo(QStringLiteral("No se pudo actualizar la lista"),
                       QStringLiteral("Lista actualizada")));
}

QString ProtectionActions::listFileText(const QString& currentPath, const QStringList& entries) {
    QString text;
    if (const auto current = readUserListBytes(currentPath)) {
        for (const QString& line : QString::fromUtf8(*current).split(u'\n')) {
            if (line.startsWith(u'#')) {
                text += line.chopped(line.endsWith(u'\r') ? 1 : 0) + u'\n';
            }
        }
    }
    for (const QString& entry : entries) {
        const QString trimmed = entry.trimmed();
        if (!trimmed.isEmpty() && !hasControlCharacter(trimmed)) {
            text += trimmed + u'\n';
        }
    }
    return text;
}

void ProtectionActions::saveSites(const QStringList& blocked, const QStringList& allowed) {
    if (!model_.busy().isEmpty()) {
        return;
    }
    const QString customPath = paths_.data(QStringLiteral("custom.txt"));
    const QString allowPath = paths_.data(QStringLiteral("allow.txt"));
    const auto stagedCustom = stageFile(listFileText(customPath, blocked));
    const auto stagedAllow = stageFile(listFileText(allowPath, allowed));
    const QString failureTitle = QStringLiteral("No se pudieron guardar tus sitios");
    if (!stagedCustom || !stagedAllow) {
        // Not silent: the edits exist only in the window, so say they were
        // not saved.
        for (const auto& staged : {stagedCustom, stagedAllow}) {
            if (staged) {
                removeStaged(*staged);
            }
        }
        dialogs_.showFailure(failureTitle, kStagingFailed);
        return;
    }
    const QString command = installCommand(*stagedCustom, customPath) + QStringLiteral(" && ") +
                            installCommand(*stagedAllow, allowPath);
    const Completion report =
        reportTo(failureTitle, QStringLiteral("Guardado: se aplica en menos de un minuto"));
    runAction(QStringLiteral("Guardando tus sitios…"), command,
              [report,
               staged = QStringList{*stagedCustom, *stagedAllow}](const PrivilegedResult& result) {
                  for (const QString& path : staged) {
                      removeStaged(path);
                  }
                  report(result);
              });
}

void ProtectionActions::setBlockDestination(BlockDestination destination) {
    if (!model_.busy().isEmpty()) {
        return;
    }
    if (destination == BlockDestination::nothing) {
        model_.setOpensHelpPage(false);
        updateWatcher();
        return;
    }
    QString line;
    switch (destination) {
        case BlockDestination::amparo:
            line = qtext(kStopPageUrl);
            break;
        case BlockDestination::included:
            line = QStringLiteral("local");
            break;
        default: {
            const auto address = dialogs_.askCustomAddress();
            if (!address) {
                return;
            }
            line = *address;
        }
    }
    model_.setOpensHelpPage(true);
    updateWatcher();
    if (line == model_.snapshot().redirectLine.value_or(qtext(kStopPageUrl))) {
        return;
    }
    const auto staged = stageFile(
        QStringLiteral("# Adónde lleva Amparo al bloquear un sitio (lo cambia la app).\n") + line +
        u'\n');
    const QString failureTitle = QStringLiteral("No se pudo cambiar la página");
    if (!staged) {
        dialogs_.showFailure(failureTitle, kStagingFailed);
        return;
    }
    const Completion report = reportTo(failureTitle);
    runAction(QStringLiteral("Guardando…"),
              installCommand(*staged, paths_.data(QStringLiteral("redirect.txt"))),
              [report, path = *staged](const PrivilegedResult& result) {
                  removeStaged(path);
                  report(result);
              });
}

void ProtectionActions::setContentFilter(bool on) {
    if (!model_.busy().isEmpty()) {
        return;
    }
    const auto& table = os::kCurrent;
    if (on && !model_.snapshot().mitmAvailable) {
        if (dialogs_.offer(QStringLiteral("Falta mitmproxy"), qtext(table.missingToolText),
                           QStringLiteral("Copiar el comando"))) {
            desktop_.copyText(qtext(table.missingToolCommand));
        }
        return;
    }
    const bool confirmed =
        on ? dialogs_.confirm(QStringLiteral("¿Activar el filtro por palabras?"),
                              qtext(os::kKeywordFilterIntro) + QStringLiteral("\n\n") +
                                  qtext(table.keywordFilterText),
                              QStringLiteral("Activar"))
           : dialogs_.confirm(QStringLiteral("¿Desactivar el filtro por palabras?"),
                              QStringLiteral("Se quitan el proxy y el certificado. El bloqueo "
                                             "por sitios sigue activo."),
                              QStringLiteral("Desactivar"));
    const QString script =
        on ? QStringLiteral("proxy_install.sh") : QStringLiteral("proxy_uninstall.sh");
    const auto command = confirmed ? scriptCommand(script) : std::nullopt;
    if (!command) {
        // The switch shows the observed state again.
        model_.refresh();
        return;
    }
    if (on) {
        runAction(QStringLiteral("Activando el filtro por palabras…"), *command,
                  reportTo(QStringLiteral("No se pudo activar el filtro"),
                           QStringLiteral("Filtro activo: reiniciá el navegador")));
    } else {
        runAction(QStringLiteral("Desactivando el filtro…"), *command,
                  reportTo(QStringLiteral("No se pudo desactivar el filtro")));
    }
}

void ProtectionActions::uninstall() {
    if (!model_.busy().isEmpty() ||
        !dialogs_.confirm(QStringLiteral("¿Desinstalar Amparo?"), qtext(os::kCurrent.uninstallText),
                          QStringLiteral("Desinstalar"))) {
        return;
    }
    runScript(
        QStringLiteral("uninstall.sh"), QStringLiteral("Desinstalando…"),
        reportTo(QStringLiteral("No se pudo desinstalar"), QStringLiteral("Amparo se desinstaló")));
}

void ProtectionActions::openLog() {
    desktop_.openFile(paths_.logFile);
}

void ProtectionActions::donate() {
    desktop_.openUrl(QUrl(QLatin1String(kDonationUrl)));
}

void ProtectionActions::checkForUpdates() {
    if (updateCheck_) {
        updateCheck_();
    }
}

void ProtectionActions::openWebsite() {
    desktop_.openUrl(QUrl(QLatin1String(kWebsiteUrl)));
}

}  // namespace amparo
