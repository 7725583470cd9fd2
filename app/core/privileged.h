// The one path to root: shell command lines run through pkexec after the
// administrator's password, classified as ran, failed or cancelled; and the
// helpers that build those command lines safely.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <functional>
#include <optional>

namespace amparo {

struct PrivilegedResult {
    enum class Kind { ok, failed, cancelled };
    Kind kind = Kind::failed;
    // The command's merged output for ok, the message to show for failed.
    QString text;

    static PrivilegedResult ok(QString output) { return {Kind::ok, std::move(output)}; }
    static PrivilegedResult failed(QString message) { return {Kind::failed, std::move(message)}; }
    static PrivilegedResult cancelled() { return {Kind::cancelled, {}}; }
    bool operator==(const PrivilegedResult&) const = default;
};

// Single quotes around the text, each inner quote as '\''. Every path and
// every piece of text that is not a fixed option word goes through this.
QString shellQuote(const QString& text);

// "/usr/bin/install -m 644 -o root -g root 'staged' 'destination'".
QString installCommand(const QString& staged, const QString& destination);

// Writes the text to "archivo.txt" in a fresh private (0700) directory under
// the user's temporary directory; none when either step fails.
std::optional<QString> stageFile(const QString& text);

// Runs one command line as root and reports how it ended. Asynchronous: the
// password dialog and the command never hold the GUI thread.
class PrivilegedRunner {
  public:
    using Done = std::function<void(const PrivilegedResult&)>;
    virtual ~PrivilegedRunner() = default;
    // Calls done exactly once, later, on the calling thread's event loop.
    virtual void run(const QString& commandLine, Done done) = 0;
};

// pkexec <wrapper> <command line>. The wrapper (amparo-admin, beside the
// program) prints a marker line before it runs the command through /bin/sh,
// so that "dialog dismissed" and "not authorised" (pkexec's 126 and 127, no
// marker) are told apart from the command's own exit statuses.
class PkexecRunner : public QObject, public PrivilegedRunner {
    Q_OBJECT
  public:
    // The marker the wrapper prints first; never shown to the user.
    static constexpr const char* kMarker = "AMPARO-AUTORIZADO";
    // At most this much of a command's output is kept (its end).
    static constexpr qsizetype kMaxOutput = 256 * 1024;

    PkexecRunner(QString wrapperPath, QString pkexecProgram = QStringLiteral("pkexec"),
                 QObject* parent = nullptr);
    // Runs still in flight are given up: their done is never called. pkexec
    // is killed, which closes a password dialog still open; a command already
    // running as root cannot be signalled by the user and finishes on its own.
    ~PkexecRunner() override;
    void run(const QString& commandLine, Done done) override;

  private:
    QString wrapperPath_;
    QString pkexecProgram_;
};

// How pkexec's exit and the merged output turn into a result (kept apart from
// the process handling so every case is plain to test).
PrivilegedResult classifyPkexec(QProcess::ExitStatus exitStatus, int exitCode,
                                const QByteArray& output);

}  // namespace amparo
