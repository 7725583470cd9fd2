// Amparo's composition root: the model and its gatherer, the root runner, the
// actions, the tray and the desktop's notifications, the main window, the
// block reaction, the updater, the one dispatcher of commands, and the
// capture mode that renders one state to a picture.
#pragma once

#include <QObject>
#include <memory>
#include <optional>

#include "app/core/actions.h"
#include "app/core/block_reaction.h"
#include "app/core/command.h"
#include "app/core/entry.h"
#include "app/core/model.h"
#include "app/core/notifications.h"
#include "app/core/privileged.h"
#include "app/core/updater.h"
#include "app/desktop_notifier.h"
#include "app/dialogs/widget_dialogs.h"
#include "app/main_window.h"
#include "app/tray.h"
#include "app/ui/content_view.h"
#include "app/ui/instance_channel.h"
#include "app/ui/sites_view.h"
#include "app/ui/theme.h"

namespace amparo {

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // permit: a site a block page's link asked to allow (already checked);
    // inPanel: the window waits until asked for.
    AppDelegate(std::optional<CaptureRequest> capture, std::optional<QString> permit, bool inPanel,
                QObject* parent = nullptr);
    ~AppDelegate() override;

    void launch();

  private:
    void launchCapture();
    void writeCapture();
    // Every command, whichever surface gave it.
    void command(Command command);
    void checkForUpdates();
    void listenForLaterStarts();

    std::optional<CaptureRequest> capture_;
    std::optional<QString> permit_;
    bool inPanel_;
    QString directory_;
    ui::Theme theme_;
    ProtectionModel model_;
    PkexecRunner runner_;
    WidgetDialogs dialogs_;
    SystemDesktop desktop_;
    ProtectionActions actions_;
    ui::WindowViewModel view_;
    ui::SitesSheet sheet_;
    MainWindow window_;
    std::unique_ptr<BlockReaction> reaction_;
    std::unique_ptr<Tray> tray_;
    NotificationPolicy notifications_;
    std::unique_ptr<FreedesktopNotifier> notifier_;
    std::unique_ptr<Updater> updater_;
    ui::InstanceChannel channel_;
};

}  // namespace amparo
