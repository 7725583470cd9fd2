#include "app/core/block_reaction.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QSignalSpy>

#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

struct OpenedPages : Desktop {
    QStringList urls;
    void openUrl(const QUrl& url) override { urls << url.toString(); }
    void openFile(const QString&) override {}
    void copyText(const QString&) override {}
};

// A first installation creates the log after Amparo started: the watcher
// that found no log must start once it exists, not wait for a restart.
TEST(BlockReaction, StartsFollowingALogThatAppearedLater) {
    testing::Scratch scratch;
    const QString log = scratch.path("tranca.log");
    QSettings().remove(QLatin1String(ProtectionModel::kOpensHelpPageKey));
    ProtectionSnapshot installed;
    installed.installed = true;
    installed.protection = Protection::active;
    installed.redirectLine = QStringLiteral("local");
    ProtectionModel model([installed] { return installed; });
    OpenedPages desktop;
    BlockReaction reaction(model, desktop, log, 90s);
    const auto refreshed = [&model] {
        QSignalSpy done(&model, &ProtectionModel::refreshed);
        model.refresh();
        return waitUntil([&] { return done.count() == 1; });
    };

    ASSERT_TRUE(refreshed());
    EXPECT_FALSE(reaction.isWatching()) << "no log yet";
    testing::writeFile(log, "[2026-12-05T17:35:00Z] trancad iniciando\n");
    ASSERT_TRUE(refreshed());
    ASSERT_TRUE(reaction.isWatching());

    testing::appendFile(log, "[2026-12-05T17:35:22Z] BLOQUEADO sitio.example\n");
    ASSERT_TRUE(waitUntil([&] { return !desktop.urls.isEmpty(); }));
    EXPECT_EQ(desktop.urls, QStringList{"http://127.0.0.1/"}) << "the chosen page opens";

    model.setOpensHelpPage(false);
    reaction.update();
    EXPECT_FALSE(reaction.isWatching()) << "no page on block: no watching";
    QSettings().remove(QLatin1String(ProtectionModel::kOpensHelpPageKey));
}

}  // namespace
}  // namespace amparo
