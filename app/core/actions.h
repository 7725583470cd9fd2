// The twelve things a user can do to the filter, the same from the menu and
// from the window. Every change to the system is one root command line run
// through the privileged runner; afterwards the model refreshes and shows
// what it observes.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "app/core/dialogs.h"
#include "app/core/model.h"
#include "app/core/privileged.h"

namespace amparo {

// Where the actions find their parts. The product uses product(); tests point
// at scratch directories.
struct ActionPaths {
    // Amparo's own directory: the scripts, the root wrapper and the trancad copy.
    QString applicationDirectory;
    QString dataDirectory;
    QString logFile;

    QString script(const QString& name) const { return applicationDirectory + u'/' + name; }
    QString daemonCopy() const { return applicationDirectory + QStringLiteral("/trancad"); }
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

    Q_INVOKABLE void activate() override;
    Q_INVOKABLE void deactivate() override;
    Q_INVOKABLE void restoreInternet() override;
    Q_INVOKABLE void updateList() override;
    Q_INVOKABLE void saveSites(const QStringList& blocked, const QStringList& allowed) override;
    Q_INVOKABLE void setBlockDestination(amparo::BlockDestination destination) override;
    Q_INVOKABLE void setContentFilter(bool on) override;
    Q_INVOKABLE void uninstall() override;
    Q_INVOKABLE void openLog() override;
    Q_INVOKABLE void donate() override;
    Q_INVOKABLE void checkForUpdates() override;
    Q_INVOKABLE void openWebsite() override;

    // The text of a list file as saved: the current file's comment lines,
    // then one entry per line. Entries are trimmed; empty ones and any with
    // a control character are left out, so nothing can add lines of its own.
    static QString listFileText(const QString& currentPath, const QStringList& entries);

  private:
    using Completion = std::function<void(const PrivilegedResult&)>;

    // The one way to root: busy text, the command, then the completion and
    // a refresh. Refused while another run is under way.
    void runAction(const QString& busyText, const QString& command, Completion completion);
    // "/bin/bash '<script>'", or none after the missing-part alert.
    std::optional<QString> scriptCommand(const QString& name);
    void showMissingPart();
    // The completion that shows a failure under the title, and a notice on
    // success when one is given.
    Completion reportTo(const QString& failureTitle, const QString& successNotice = {});
    void runScript(const QString& name, const QString& busyText, Completion completion);
    void updateWatcher();

    ProtectionModel& model_;
    PrivilegedRunner& runner_;
    Dialogs& dialogs_;
    Desktop& desktop_;
    ActionPaths paths_;
    std::function<void()> updateWatcher_;
    std::function<void()> updateCheck_;
};

}  // namespace amparo
