#include "app/ui/instance_channel.h"

#include <QLocalSocket>

#include "tests/support/support.h"

namespace amparo::ui {
namespace {

// Two starts of Amparo on one event loop: the running one's channel and a
// later start's tell, or a hostile peer writing raw bytes.
struct Running {
    QTemporaryDir folder;
    QString name = folder.filePath(QStringLiteral("amparo.sock"));
    InstanceChannel channel{name};
    QSignalSpy shown{&channel, &InstanceChannel::showRequested};
    QSignalSpy permitted{&channel, &InstanceChannel::permitRequested};

    // Writes bytes as a peer would and waits until the channel hangs up.
    bool peerWrites(const QByteArray& bytes) {
        QLocalSocket peer;
        peer.connectToServer(name);
        if (!peer.waitForConnected(1000)) {
            return false;
        }
        peer.write(bytes);
        return testing::waitUntil([&] { return peer.state() == QLocalSocket::UnconnectedState; });
    }
};

TEST(InstanceChannel, ALaterStartIsHeardAndNothingElseIs) {
    Running running;
    EXPECT_FALSE(InstanceChannel::tell(running.name, std::nullopt)) << "none listens yet";
    ASSERT_TRUE(running.channel.listen());

    ASSERT_TRUE(InstanceChannel::tell(running.name, QStringLiteral("ejemplo.com")));
    ASSERT_TRUE(testing::waitUntil([&] { return !running.permitted.isEmpty(); }));
    EXPECT_EQ(running.permitted.takeFirst().at(0).toString(), QStringLiteral("ejemplo.com"));
    ASSERT_TRUE(InstanceChannel::tell(running.name, std::nullopt));
    ASSERT_TRUE(testing::waitUntil([&] { return !running.shown.isEmpty(); }));

    const std::pair<const char*, QByteArray> hostile[] = {
        {"link not checked again", "amparo://permitir?sitio=a.com/../b\n"},
        {"command prefix taken", "mostrarx\n"},
        {"line without its end taken", "mostrar"},
        {"lines after an over-long one read", QByteArray(100000, 'a') + "\nmostrar\n"},
    };
    for (const auto& [fault, bytes] : hostile) {
        EXPECT_TRUE(running.peerWrites(bytes)) << fault << ": the peer was never hung up on";
        EXPECT_EQ(running.shown.size() + running.permitted.size(), 1) << fault;
    }
}

}  // namespace
}  // namespace amparo::ui
