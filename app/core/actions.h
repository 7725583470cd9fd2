// The seventeen things a user can do to the filter, the same from the menu
// and from the window. Every change to the system is one verb run as root
// through the privileged runner, but for cancelling a pending change, which
// the daemon takes from anyone; afterwards the model refreshes and shows what
// it observes. A test mail changes nothing: the user's own trancad sends it.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <chrono>
#include <functional>
#include <optional>

#include "app/core/amparo_actions.h"
#include "app/core/dialogs.h"
#include "app/core/model.h"
#include "app/core/privileged.h"

namespace amparo {

// The daemon answers a cancel at once; this only bounds one that hangs.
inline constexpr std::chrono::seconds kCancelTimeout{3};
// A mail server that takes longer than this to accept one mail is not
// working; the daemon gives up sooner on each step itself.
inline constexpr std::chrono::seconds kTestMailTimeout{60};

// Where the actions find their parts. The product uses product(); tests point
// at scratch directories.
struct ActionPaths {
    // Amparo's own directory: the scripts, the root wrapper and the trancad
    // copy. Root finds them beside its wrapper; this only tells whether
    // they are there before a password is asked for.
    QString applicationDirectory;
    QString dataDirectory;
    QString logFile;
    // The daemon's socket for the wait before loosening.
    QString waitSocket;

    QString script(const QString& name) const { return applicationDirectory + u'/' + name; }
    QString data(const QString& name) const { return dataDirectory + u'/' + name; }

    static ActionPaths product(const QString& applicationDirectory);
};

inline constexpr const char* kDonationUrl =
    "https://www.paypal.com/donate/?business=donaciones@amparo-filtro.org";
inline constexpr const char* kWebsiteUrl = "https://www.amparo-filtro.org";

class ProtectionActions : public QObject, public AmparoActions {
    Q_OBJECT
  public:
    ProtectionActions(ProtectionModel& model, PrivilegedRunner& runner, Dialogs& dialogs,
                      Desktop& desktop, ActionPaths paths, QObject* parent = nullptr);

    // Starts or stops following the log for blocks; run after a change of
    // the page-on-block setting.
    void setUpdateWatcher(std::function<void()> update) { updateWatcher_ = std::move(update); }
    // Asks the updater to check; nothing happens while there is none.
    void setUpdateCheck(std::function<void()> check) { updateCheck_ = std::move(check); }
    // How long a test mail may take before it is given up.
    void setTestMailTimeout(std::chrono::milliseconds timeout) { testMailTimeout_ = timeout; }

    Q_INVOKABLE void activate() override;
    Q_INVOKABLE void deactivate() override;
    Q_INVOKABLE void restoreInternet() override;
    Q_INVOKABLE void updateList() override;
    Q_INVOKABLE void saveSites(const QStringList& blocked, const QStringList& allowed) override;
    Q_INVOKABLE void setBlockDestination(amparo::BlockDestination destination) override;
    Q_INVOKABLE void setContentFilter(bool on) override;
    Q_INVOKABLE void uninstall() override;
    Q_INVOKABLE void cancelPending() override;
    Q_INVOKABLE void setWait(qint64 seconds) override;
    void saveTrustedPerson(const TrustedPersonForm& form) override;
    Q_INVOKABLE void removeTrustedPerson() override;
    void sendTestMail(const TrustedPersonForm& form, TestMailDone done) override;
    Q_INVOKABLE void openLog() override;
    Q_INVOKABLE void donate() override;
    Q_INVOKABLE void checkForUpdates() override;
    Q_INVOKABLE void openWebsite() override;

    // The text of a list file as saved: the current file's comment lines,
    // then one entry per line. Entries are trimmed; empty ones, and entries
    // or comments with a control character (tabs in comments aside), are left
    // out, so nothing can add lines of its own.
    static QString listFileText(const QString& currentPath, const QStringList& entries);

  private:
    using Completion = std::function<void(const PrivilegedResult&)>;

    // The one way to root: busy text, the verb and its input, then the
    // completion and a refresh. Refused while another run is under way.
    void runAction(const QString& busyText, AdminVerb verb, const QByteArray& input,
                   Completion completion);
    // Whether this part of Amparo is beside it; the missing-part alert if not.
    bool hasPart(const QString& name);
    void showMissingPart();
    // The completion that shows a failure under the title, and on success
    // the change the command queued, else the notice when one is given.
    Completion reportTo(const QString& failureTitle, const QString& successNotice = {});
    // The verb that runs the named part as root, when the part is there.
    void runScript(const QString& name, AdminVerb verb, const QString& busyText,
                   Completion completion);
    void updateWatcher();
    // Back on the GUI thread with the count cancelled, none without an answer.
    void finishCancel(std::optional<qint64> cancelled);

    ProtectionModel& model_;
    PrivilegedRunner& runner_;
    Dialogs& dialogs_;
    Desktop& desktop_;
    ActionPaths paths_;
    std::function<void()> updateWatcher_;
    std::function<void()> updateCheck_;
    std::chrono::milliseconds testMailTimeout_;
    // Last, so it is gone (its exchange finished) before the rest.
    QThreadPool cancelling_;
};

}  // namespace amparo
