#include "app/desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <array>
#include <utility>

namespace amparo {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The key of a click on the notification itself.
const QString kDefaultKey = QStringLiteral("default");
// Let the service keep it as long as it keeps notifications.
constexpr int kServiceTimeout = -1;
constexpr uchar kNormalUrgency = 1;

// The commands a notification can carry, by the key it sends back.
constexpr std::array<std::pair<Command, const char*>, 3> kKeys{{
    {Command::activate, "activar"},
    {Command::restoreInternet, "recuperar-internet"},
    {Command::cancelPending, "cancelar"},
}};

QString keyOf(Command command) {
    for (const auto& [each, key] : kKeys) {
        if (each == command) {
            return QLatin1String(key);
        }
    }
    return {};
}

}  // namespace

FreedesktopNotifier::FreedesktopNotifier(CommandSink command, QObject* parent)
    : QObject(parent), command_(std::move(command)), bus_(QDBusConnection::sessionBus()) {
    // Only signals from whoever owns the service's name arrive here.
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(actionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(closed(uint, uint)));
}

void FreedesktopNotifier::show(const Notification& notification) {
    if (!bus_.isConnected()) {
        return;
    }
    QStringList actions{kDefaultKey, QStringLiteral("Abrir Amparo")};
    const QString key = keyOf(notification.action);
    if (!key.isEmpty()) {
        actions << key << notification.actionLabel;
    }
    const bool state = notification.kind == Notification::Kind::state;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // Services that take markup would read "<" and "&" in the body as tags.
    call << QStringLiteral("Amparo") << (state ? lastState_ : 0u) << QStringLiteral("amparo")
         << notification.title << notification.body.toHtmlEscaped() << actions
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("amparo")},
                        {QStringLiteral("urgency"), QVariant::fromValue(kNormalUrgency)}}
         << kServiceTimeout;
    // Asynchronous: a service that hangs must not freeze the window.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    const Command action = key.isEmpty() ? Command::none : notification.action;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, state, action](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                finished->deleteLater();
                if (reply.isError()) {
                    return;  // no service: the tray and the window still say it
                }
                offered_[reply.value()] = action;
                if (state) {
                    lastState_ = reply.value();
                }
            });
}

void FreedesktopNotifier::actionInvoked(uint id, const QString& key) {
    const auto found = offered_.find(id);
    if (found == offered_.end()) {
        return;
    }
    if (key == kDefaultKey) {
        command_(Command::open);
    } else if (found->second != Command::none && key == keyOf(found->second)) {
        command_(found->second);
    }
}

void FreedesktopNotifier::closed(uint id, uint /*reason*/) {
    offered_.erase(id);
    if (id == lastState_) {
        lastState_ = 0;
    }
}

}  // namespace amparo
