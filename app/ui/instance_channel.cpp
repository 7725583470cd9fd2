#include "app/ui/instance_channel.h"

#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <chrono>
#include <memory>
#include <utility>

#include "app/ui/sites_view.h"

namespace amparo::ui {

namespace {

using namespace std::chrono_literals;

constexpr QByteArrayView kShowLine = "mostrar";
// Far above a link to the longest name; a peer sending more is not Amparo.
constexpr qsizetype kMaxLine = 512;
// A peer that connects and says nothing is not kept around.
constexpr auto kPeerTimeout = 2s;
constexpr int kTellTimeoutMs = 500;

}  // namespace

QString InstanceChannel::defaultName() {
    // Qt makes this folder the user's own with mode 0700 (XDG_RUNTIME_DIR or
    // a private fallback), so no other account can take the name first.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           QStringLiteral("/amparo.sock");
}

bool InstanceChannel::tell(const QString& name, const std::optional<QString>& site) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kTellTimeoutMs)) {
        return false;
    }
    const QByteArray line = (site ? permitLink(*site).toLatin1() : kShowLine.toByteArray()) + '\n';
    socket.write(line);
    socket.waitForBytesWritten(kTellTimeoutMs);
    return true;
}

InstanceChannel::InstanceChannel(QString name, QObject* parent)
    : QObject(parent), name_(std::move(name)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &InstanceChannel::accept);
}

bool InstanceChannel::listen() {
    if (server_.listen(name_)) {
        return true;
    }
    // A socket left by an Amparo that ended badly: nobody answered on it
    // (tell was tried first), so it can go.
    QLocalServer::removeServer(name_);
    return server_.listen(name_);
}

void InstanceChannel::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        // Owned by the connection below, so it goes with the socket.
        auto line = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kPeerTimeout, socket, &QLocalSocket::abort);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, line] {
            line->append(socket->read(kMaxLine + 1 - line->size()));
            const qsizetype end = line->indexOf('\n');
            if (end < 0 && line->size() <= kMaxLine) {
                return;
            }
            const QByteArray text = end < 0 ? QByteArray() : line->first(end);
            socket->abort();
            if (text == kShowLine) {
                emit showRequested();
            } else if (const auto site = permitLinkSite(QString::fromLatin1(text))) {
                emit permitRequested(*site);
            }
        });
    }
}

}  // namespace amparo::ui
