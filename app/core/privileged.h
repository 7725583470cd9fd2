// The one path to root: one of a fixed set of verbs run through pkexec after
// the administrator's password, with any text for it on standard input,
// classified as ran, failed or cancelled.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <functional>

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

// What Amparo can ask root to do. The root wrapper (amparo-admin) knows each
// by its word, takes no other argument, and checks any text it is handed.
enum class AdminVerb {
    activate,
    deactivate,
    restoreInternet,
    updateList,
    saveSites,
    saveBlockDestination,
    keywordFilterOn,
    keywordFilterOff,
    uninstall,
    // "<seconds>\n" on standard input: the wait before loosening.
    setWait,
    // The trusted person's settings text on standard input.
    saveTrustedPerson,
};

// The verb's word on the wrapper's command line ("activar", "guardar-sitios"…).
QString verbWord(AdminVerb verb);

// The line between custom.txt's text and allow.txt's in the input of
// saveSites; neither a host name nor a comment can look like it.
inline constexpr const char* kAllowListSeparator = "[permitidos]";

// Runs one verb as root and reports how it ended. Asynchronous: the password
// dialog and the verb's run never hold the GUI thread.
class PrivilegedRunner {
  public:
    using Done = std::function<void(const PrivilegedResult&)>;
    virtual ~PrivilegedRunner() = default;
    // Calls done exactly once, later, on the calling thread's event loop.
    // The input is the verb's standard input (empty for most verbs).
    virtual void run(AdminVerb verb, const QByteArray& input, Done done) = 0;
};

// pkexec <wrapper> <verb>, the input written to pkexec's standard input,
// which it hands on to the wrapper. The wrapper (amparo-admin, beside the
// program) prints a marker line once authorised, so that "dialog dismissed"
// and "not authorised" (pkexec's 126 and 127, no marker) are told apart from
// the verb's own exit statuses.
class PkexecRunner : public QObject, public PrivilegedRunner {
    Q_OBJECT
  public:
    // The marker the wrapper prints first; never shown to the user.
    static constexpr const char* kMarker = "AMPARO-AUTORIZADO";
    // At most this much of a command's output is kept (its end).
    static constexpr qsizetype kMaxOutput = 256 * 1024;
    // How long the destructor waits for a killed pkexec to be gone.
    static constexpr int kKillWaitMs = 2000;

    PkexecRunner(QString wrapperPath, QString pkexecProgram = QStringLiteral("pkexec"),
                 QObject* parent = nullptr);
    // Runs still in flight are given up: their done is never called. pkexec
    // is killed, which closes a password dialog still open; a command already
    // running as root cannot be signalled by the user and finishes on its own.
    ~PkexecRunner() override;
    void run(AdminVerb verb, const QByteArray& input, Done done) override;

  private:
    QString wrapperPath_;
    QString pkexecProgram_;
};

// How pkexec's exit and the merged output turn into a result (kept apart from
// the process handling so every case is plain to test).
PrivilegedResult classifyPkexec(QProcess::ExitStatus exitStatus, int exitCode,
                                const QByteArray& output);

}  // namespace amparo
