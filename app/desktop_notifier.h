// Notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus): sent without waiting
// for an answer, each with its button, and a press on it handed back as the
// command it stands for.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <functional>
#include <map>

#include "app/core/notifications.h"

namespace amparo {

class FreedesktopNotifier : public QObject, public DesktopNotifier {
    Q_OBJECT
  public:
    using CommandSink = std::function<void(Command)>;
    explicit FreedesktopNotifier(CommandSink command, QObject* parent = nullptr);

    void show(const Notification& notification) override;

  private slots:
    void actionInvoked(uint id, const QString& key);
    void closed(uint id, uint reason);

  private:
    CommandSink command_;
    QDBusConnection bus_;
    // The button of each of Amparo's notifications still on screen, by the
    // service's id: a press on anything else is no one's to obey.
    std::map<uint, Command> offered_;
    // The state's notification on screen, which the next one replaces.
    uint lastState_ = 0;
};

}  // namespace amparo
