#include "app/core/actions.h"

#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <memory>

#include "app/core/list_files.h"
#include "app/core/os_table.h"
#include "app/core/text.h"
#include "app/core/wait.h"
#include "contract/wait_protocol.h"

namespace amparo {

namespace {

using namespace std::chrono_literals;

// Lets the busy overlay be drawn before the password dialog takes the screen.
constexpr auto kBusyPaintDelay = 50ms;
// The test prints one line; more is kept only as far as this.
constexpr qsizetype kMaxTestMailOutput = 4096;

// A comment line is kept whole; tabs are part of the text, any other control
// character would start a line of its own where the daemon reads the file.
bool breaksLine(QString line) {
    return hasControlCharacter(line.remove(u'\t'));
}

}  // namespace

ActionPaths ActionPaths::product(const QString& applicationDirectory) {
    return {.applicationDirectory = applicationDirectory,
            .dataDirectory = qtext(os::kCurrent.paths.dataDirectory),
            .logFile = qtext(os::kCurrent.paths.logFile),
            .waitSocket = qtext(wait::kSocketPath)};
}

ProtectionActions::ProtectionActions(ProtectionModel& model, PrivilegedRunner& runner,
                                     Dialogs& dialogs, Desktop& desktop, ActionPaths paths,
                                     QObject* parent)
    : QObject(parent),
      model_(model),
      runner_(runner),
      dialogs_(dialogs),
      desktop_(desktop),
      paths_(std::move(paths)),
      testMailTimeout_(kTestMailTimeout) {
    cancelling_.setMaxThreadCount(1);
}

void ProtectionActions::runAction(const QString& busyText, AdminVerb verb, const QByteArray& input,
                                  Completion completion) {
    if (!model_.busy().isEmpty()) {
        return;
    }
    model_.setBusy(busyText);
    QTimer::singleShot(kBusyPaintDelay, this, [this, verb, input, completion] {
        runner_.run(verb, input, [this, completion](const PrivilegedResult& result) {
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

bool ProtectionActions::hasPart(const QString& name) {
    if (!QFileInfo(paths_.script(name)).isFile()) {
        showMissingPart();
        return false;
    }
    return true;
}

ProtectionActions::Completion ProtectionActions::reportTo(const QString& failureTitle,
                                                          const QString& successNotice) {
    return [this, failureTitle, successNotice](const PrivilegedResult& result) {
        if (result.kind == PrivilegedResult::Kind::failed) {
            dialogs_.showFailure(failureTitle, result.text);
        } else if (result.kind == PrivilegedResult::Kind::ok) {
            const QString queued = queuedNotice(result.text);
            if (!queued.isEmpty() || !successNotice.isEmpty()) {
                model_.showNotice(queued.isEmpty() ? successNotice : queued);
            }
        }
    };
}

void ProtectionActions::runScript(const QString& name, AdminVerb verb, const QString& busyText,
                                  Completion completion) {
    if (hasPart(name)) {
        runAction(busyText, verb, {}, std::move(completion));
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
    runScript(QStringLiteral("install.sh"), AdminVerb::activate,
              QStringLiteral("Activando la protección…"), [this](const PrivilegedResult& result) {
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
    runScript(QStringLiteral("disable.sh"), AdminVerb::deactivate, QStringLiteral("Desactivando…"),
              reportTo(QStringLiteral("No se pudo desactivar")));
}

void ProtectionActions::restoreInternet() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    // Root switches with the trancad copy beside the wrapper.
    runScript(QStringLiteral("trancad"), AdminVerb::restoreInternet,
              QStringLiteral("Recuperando internet…"),
              reportTo(QStringLiteral("No se pudo recuperar internet"),
                       QStringLiteral("Internet de vuelta, con el filtro de Cloudflare")));
}

void ProtectionActions::updateList() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    runAction(QStringLiteral("Actualizando la lista…"), AdminVerb::updateList, {},
              reportTo(QStringLiteral("No se pudo actualizar la lista"),
                       QStringLiteral("Lista actualizada")));
}

QString ProtectionActions::listFileText(const QString& currentPath, const QStringList& entries) {
    QString text;
    if (const auto current = readUserListBytes(currentPath)) {
        for (QString line : QString::fromUtf8(*current).split(u'\n')) {
            if (line.endsWith(u'\r')) {
                line.chop(1);
            }
            if (line.startsWith(u'#') && !breaksLine(line)) {
                text += line + u'\n';
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
    // Both texts on root's standard input: root never opens a file of the
    // user's, and checks every line before it writes its own.
    const QByteArray input =
        listFileText(paths_.data(QStringLiteral("custom.txt")), blocked).toUtf8() +
        kAllowListSeparator + '\n' +
        listFileText(paths_.data(QStringLiteral("allow.txt")), allowed).toUtf8();
    runAction(QStringLiteral("Guardando tus sitios…"), AdminVerb::saveSites, input,
              reportTo(QStringLiteral("No se pudieron guardar tus sitios"),
                       QStringLiteral("Guardado: se aplica en menos de un minuto")));
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
    // Root writes the file around this one line, once it has checked it.
    runAction(QStringLiteral("Guardando…"), AdminVerb::saveBlockDestination, line.toUtf8() + '\n',
              reportTo(QStringLiteral("No se pudo cambiar la página")));
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
    if (!confirmed || !hasPart(script)) {
        // The switch shows the observed state again.
        model_.refresh();
        return;
    }
    if (on) {
        runAction(QStringLiteral("Activando el filtro por palabras…"), AdminVerb::keywordFilterOn,
                  {},
                  reportTo(QStringLiteral("No se pudo activar el filtro"),
                           QStringLiteral("Filtro activo: reiniciá el navegador")));
    } else {
        runAction(QStringLiteral("Desactivando el filtro…"), AdminVerb::keywordFilterOff, {},
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
        QStringLiteral("uninstall.sh"), AdminVerb::uninstall, QStringLiteral("Desinstalando…"),
        reportTo(QStringLiteral("No se pudo desinstalar"), QStringLiteral("Amparo se desinstaló")));
}

void ProtectionActions::cancelPending() {
    if (!model_.busy().isEmpty()) {
        return;
    }
    model_.setBusy(QStringLiteral("Cancelando…"));
    // Off the GUI thread: a daemon that hangs must not freeze the window.
    cancelling_.start([this, path = paths_.waitSocket] {
        const auto reply = askWaitSocket(path, wait::kCancelCommand, kCancelTimeout);
        const auto parsed = reply ? parseWaitReply(*reply) : std::nullopt;
        const auto cancelled = parsed ? parsed->cancelled : std::nullopt;
        QMetaObject::invokeMethod(
            this, [this, cancelled] { finishCancel(cancelled); }, Qt::QueuedConnection);
    });
}

void ProtectionActions::finishCancel(std::optional<qint64> cancelled) {
    model_.setBusy({});
    if (cancelled) {
        model_.showNotice(cancelledNotice(*cancelled));
    } else {
        dialogs_.showFailure(QStringLiteral("No se pudo cancelar"),
                             QStringLiteral("El filtro de Amparo no respondió. Probá de nuevo "
                                            "en un momento."));
    }
    model_.refresh();
}

void ProtectionActions::setWait(qint64 seconds) {
    if (!model_.busy().isEmpty() || waitChoiceIndex(seconds) < 0 ||
        model_.snapshot().waitSeconds == seconds) {
        return;
    }
    // A longer wait applies at once; a shorter one waits itself.
    runAction(QStringLiteral("Cambiando la espera…"), AdminVerb::setWait,
              QByteArray::number(seconds) + '\n',
              reportTo(QStringLiteral("No se pudo cambiar la espera"),
                       QStringLiteral("Espera para aflojar: ") + waitChoiceLabel(seconds)));
}

void ProtectionActions::saveTrustedPerson(const TrustedPersonForm& form) {
    const auto text = settingsText(form);
    if (!model_.busy().isEmpty() || !text) {
        return;
    }
    // Root checks the text itself; a change of the person waits like any
    // loosening, and the reply says so.
    runAction(QStringLiteral("Guardando la persona de confianza…"), AdminVerb::saveTrustedPerson,
              *text,
              reportTo(QStringLiteral("No se pudo guardar la persona de confianza"),
                       QStringLiteral("Persona de confianza guardada")));
}

void ProtectionActions::removeTrustedPerson() {
    if (!model_.busy().isEmpty() ||
        !dialogs_.confirm(QStringLiteral("¿Quitar la persona de confianza?"),
                          QStringLiteral("Dejará de recibir avisos de este equipo."),
                          QStringLiteral("Quitar"))) {
        return;
    }
    runAction(QStringLiteral("Quitando la persona de confianza…"), AdminVerb::saveTrustedPerson,
              removalText(),
              reportTo(QStringLiteral("No se pudo quitar la persona de confianza"),
                       QStringLiteral("Persona de confianza quitada")));
}

void ProtectionActions::sendTestMail(const TrustedPersonForm& form, TestMailDone done) {
    const auto text = settingsText(form);
    const QString daemon = paths_.script(QStringLiteral("trancad"));
    if (!text || !QFileInfo(daemon).isExecutable()) {
        const TestMailResult refused{
            false, text ? qtext(os::kCurrent.missingPartText) : formProblem(form)};
        QTimer::singleShot(0, this, [done = std::move(done), refused] { done(refused); });
        return;
    }
    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto output = std::make_shared<QByteArray>();
    auto pending = std::make_shared<TestMailDone>(std::move(done));
    // Once: a run given up on its deadline still ends with finished.
    auto deliver = [process, pending](const TestMailResult& result) {
        if (const TestMailDone done = std::exchange(*pending, nullptr)) {
            process->disconnect();
            process->deleteLater();
            done(result);
        }
    };
    connect(process, &QProcess::readyReadStandardOutput, this, [process, output] {
        output->append(process->readAllStandardOutput());
        output->truncate(kMaxTestMailOutput);
    });
    connect(process, &QProcess::finished, this,
            [process, output, deliver](int exitCode, QProcess::ExitStatus exitStatus) {
                output->append(process->readAllStandardOutput());
                deliver(testMailResult(exitStatus, exitCode, output->left(kMaxTestMailOutput)));
            });
    connect(
        process, &QProcess::errorOccurred, this,
        [process, deliver](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                deliver({false, QStringLiteral("No se pudo iniciar la prueba: ") +
                                    process->errorString()});
            }
        },
        Qt::QueuedConnection);
    QTimer::singleShot(testMailTimeout_, process, [process, deliver] {
        process->kill();
        deliver({false, QStringLiteral("La prueba no terminó a tiempo: el servidor de correo "
                                       "no respondió.")});
    });
    // The password only ever on standard input, never on the command line.
    process->start(daemon, {QStringLiteral("--probar-aviso")});
    process->write(*text);
    process->closeWriteChannel();
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
