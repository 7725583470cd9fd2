#include "app/ui/instance_channel.h"

#include <QLocalSocket>

#include "tests/support/support.h"

namespace amparo::ui {
namespace {

// A running Amparo's channel and, on the same event loop, later starts and
// hostile local peers.
TEST(InstanceChannel, ALaterStartIsHeardAndNothingElseIs) {
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("amparo.sock"));
    InstanceChannel channel(name);
    QSignalSpy shown(&channel, &InstanceChannel::showRequested);
    QSignalSpy permitted(&channel, &InstanceChannel::permitRequested);
    ASSERT_TRUE(channel.listen());
    ASSERT_TRUE(InstanceChannel::tell(name, QStringLiteral("ejemplo.com")));
    ASSERT_TRUE(testing::waitUntil([&] { return !permitted.isEmpty(); }));
    EXPECT_EQ(permitted.at(0).at(0).toString(), QStringLiteral("ejemplo.com"));

    const std::pair<const char*, QByteArray> hostile[]{
        {"link not checked again", "amparo://permitir?sitio=a.com/../b\n"},
        {"command prefix taken", "mostrarx\n"},
        {"line without its end taken", "mostrar"},
        {"lines after an over-long one read", QByteArray(100000, 'a') + "\nmostrar\n"},
    };
    for (const auto& [fault, bytes] : hostile) {
        QLocalSocket peer;
        peer.connectToServer(name);
        peer.write(bytes);
        EXPECT_TRUE(testing::waitUntil([&] {
            return peer.state() == QLocalSocket::UnconnectedState;
        })) << fault
            << ": never hung up on";
        EXPECT_EQ(shown.size() + permitted.size(), 1) << fault;
    }
}

}  // namespace
}  // namespace amparo::ui
