// The shield in the panel: its icon and tooltip follow the snapshot, and its
// menu is rebuilt from the snapshot each time it opens.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "app/core/command.h"
#include "app/core/snapshot.h"

class QMenu;

namespace amparo {

class ProtectionModel;

// One state's icon: a monochrome shield drawn light with a dark rim, so it
// reads on light and dark panels alike.
QIcon trayIcon(Protection protection);

class Tray : public QObject {
    Q_OBJECT
  public:
    using CommandSink = std::function<void(Command)>;
    Tray(const ProtectionModel& model, CommandSink command, QObject* parent = nullptr);
    ~Tray() override;

    void show();
    // Icon and tooltip for the current snapshot.
    void update();

  signals:
    // A shell is about to show the menu, built from the snapshot as it is.
    void menuOpened();

  private:
    void rebuildMenu();

    const ProtectionModel& model_;
    CommandSink command_;
    QMenu* menu_;
    QSystemTrayIcon icon_;
};

}  // namespace amparo
