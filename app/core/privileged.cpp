#include "app/core/privileged.h"

#include <QFileInfo>
#include <QTimer>
#include <memory>
#include <utility>

#include "app/core/os_table.h"
#include "app/core/text.h"

namespace amparo {

namespace {

// pkexec's exit status when the password dialog was dismissed.
constexpr int kDialogDismissed = 126;

QByteArray markerLine() {
    return QByteArray(PkexecRunner::kMarker) + '\n';
}

QString decoded(QByteArrayView bytes) {
    return QString::fromUtf8(bytes).trimmed();
}

QString withDetail(const QString& message, const QString& detail) {
    return detail.isEmpty() ? message : message + u'\n' + detail;
}

void keepEnd(QByteArray& bytes) {
    if (bytes.size() > PkexecRunner::kMaxOutput) {
        bytes.remove(0, bytes.size() - PkexecRunner::kMaxOutput);
    }
}

// What classifyPkexec needs from a stream of any length: everything up to
// and including the marker line, and the last kMaxOutput bytes after it. The
// marker is kept apart so that trimming a long output cannot lose it.
class OutputCap {
  public:
    void add(const QByteArray& chunk) {
        if (marked_) {
            tail_.append(chunk);
            keepEnd(tail_);
            return;
        }
        head_.append(chunk);
        const qsizetype at = head_.indexOf(markerLine());
        if (at < 0) {
            // kMaxOutput is far longer than the marker, so a marker split
            // across two reads survives this.
            keepEnd(head_);
            return;
        }
        const qsizetype end = at + markerLine().size();
        tail_ = head_.sliced(end);
        head_.truncate(end);
        marked_ = true;
        keepEnd(tail_);
    }
    QByteArray joined() const { return head_ + tail_; }

  private:
    QByteArray head_;
    QByteArray tail_;
    bool marked_ = false;
};

}  // namespace

QString verbWord(AdminVerb verb) {
    switch (verb) {
        case AdminVerb::activate:
            return QStringLiteral("activar");
        case AdminVerb::deactivate:
            return QStringLiteral("desactivar");
        case AdminVerb::restoreInternet:
            return QStringLiteral("recuperar-internet");
        case AdminVerb::updateList:
            return QStringLiteral("actualizar-lista");
        case AdminVerb::saveSites:
            return QStringLiteral("guardar-sitios");
        case AdminVerb::saveBlockDestination:
            return QStringLiteral("guardar-pagina");
        case AdminVerb::keywordFilterOn:
            return QStringLiteral("activar-filtro-palabras");
        case AdminVerb::keywordFilterOff:
            return QStringLiteral("desactivar-filtro-palabras");
        case AdminVerb::uninstall:
            return QStringLiteral("desinstalar");
        case AdminVerb::setWait:
            return QStringLiteral("cambiar-espera");
        case AdminVerb::saveTrustedPerson:
            return QStringLiteral("guardar-confianza");
    }
    return {};
}

PrivilegedResult classifyPkexec(QProcess::ExitStatus exitStatus, int exitCode,
                                const QByteArray& output) {
    const QByteArray marker = markerLine();
    const qsizetype at = output.indexOf(marker);
    if (at < 0) {
        if (exitStatus == QProcess::NormalExit && exitCode == kDialogDismissed) {
            return PrivilegedResult::cancelled();
        }
        return PrivilegedResult::failed(withDetail(
            QStringLiteral("No se obtuvo el permiso de administrador."), decoded(output)));
    }
    // Past the marker every status is the command's own, 126 and 127 too.
    const QString commandOutput = decoded(QByteArrayView(output).sliced(at + marker.size()));
    if (exitStatus == QProcess::CrashExit) {
        return PrivilegedResult::failed(withDetail(
            QStringLiteral("La orden se interrumpió antes de terminar."), commandOutput));
    }
    if (exitCode == 0) {
        return PrivilegedResult::ok(commandOutput);
    }
    if (!commandOutput.isEmpty()) {
        return PrivilegedResult::failed(commandOutput);
    }
    return PrivilegedResult::failed(
        QStringLiteral("La orden terminó con el código %1.").arg(exitCode));
}

PkexecRunner::PkexecRunner(QString wrapperPath, QString pkexecProgram, QObject* parent)
    : QObject(parent),
      wrapperPath_(std::move(wrapperPath)),
      pkexecProgram_(std::move(pkexecProgram)) {}

PkexecRunner::~PkexecRunner() {
    // Finished runs were handed their own lifetime; what is left is in flight.
    for (QProcess* process : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
        process->disconnect();
        if (process->state() == QProcess::NotRunning) {
            continue;
        }
        process->kill();
        if (!process->waitForFinished(kKillWaitMs)) {
            // Out of the user's reach (running as root): let it finish, still
            // draining its output so it never blocks on a full pipe.
            process->setParent(nullptr);
            connect(process, &QProcess::readyReadStandardOutput, process,
                    [process] { process->readAllStandardOutput(); });
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
        }
    }
}

void PkexecRunner::run(AdminVerb verb, const QByteArray& input, Done done) {
    if (!QFileInfo(wrapperPath_).isExecutable()) {
        // Without its wrapper the password dialog would be asked for nothing.
        QTimer::singleShot(0, this, [done = std::move(done)] {
            done(PrivilegedResult::failed(qtext(os::kCurrent.missingPartText)));
        });
        return;
    }
    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto output = std::make_shared<OutputCap>();

    // Hands the result over once. The process leaves the runner first, so a
    // done that destroys the runner does not delete the process under its own
    // signal.
    auto pending = std::make_shared<Done>(std::move(done));
    auto deliver = [process, pending](const PrivilegedResult& result) {
        if (!*pending) {
            return;
        }
        const Done done = std::exchange(*pending, nullptr);
        process->disconnect();
        process->setParent(nullptr);
        process->deleteLater();
        done(result);
    };
    connect(process, &QProcess::readyReadStandardOutput, this,
            [process, output] { output->add(process->readAllStandardOutput()); });
    connect(process, &QProcess::finished, this,
            [process, output, deliver](int exitCode, QProcess::ExitStatus exitStatus) {
                output->add(process->readAllStandardOutput());
                deliver(classifyPkexec(exitStatus, exitCode, output->joined()));
            });
    // Queued: a start that fails at once must still answer from the event loop,
    // never inside run(). The other errors are followed by finished.
    connect(
        process, &QProcess::errorOccurred, this,
        [process, deliver](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                deliver(PrivilegedResult::failed(withDetail(
                    QStringLiteral("No se pudo preparar la orden."), process->errorString())));
            }
        },
        Qt::QueuedConnection);
    process->start(pkexecProgram_, {wrapperPath_, verbWord(verb)});
    // Written as the pipe takes it; closed after the last byte, so the verb
    // sees the end of its input (at once when there is none).
    process->write(input);
    process->closeWriteChannel();
}

}  // namespace amparo
