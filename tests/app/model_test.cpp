#include "app/core/model.h"

#include <QElapsedTimer>
#include <QSettings>
#include <atomic>
#include <semaphore>

#include "app/core/actions.h"
#include "app/core/probe_settings.h"
#include "app/core/updater.h"
#include "tests/support/support.h"

namespace amparo {
namespace {

using namespace std::chrono_literals;
using testing::refreshed;

// Hands out the states it is given, one per call; each call takes a permit
// from the gate, so a test can hold the gathering.
struct ScriptedGatherer {
    std::vector<Protection> states;
    int permits = 16;
    std::atomic<int> calls = 0;
    std::counting_semaphore<16> gate{permits};

    std::unique_ptr<Gatherer> function() {
        return gathererOf([this] {
            gate.acquire();
            const int call = calls++;
            return testing::snapshotOf(states[std::min<std::size_t>(call, states.size() - 1)]);
        });
    }
};

// Tests shorten the timers they wait for; these are the figures a user lives with.
TEST(AppDefaults, AreTheFiguresUsersSee) {
    const ModelTimings model;
    EXPECT_EQ(model.secondOpinion, 2s) << "a restarting filter is not shown as lost";
    EXPECT_EQ(model.notice, 4s) << "a notice stays long enough to be read";
    EXPECT_EQ(model.refreshEvery, 10s);
    EXPECT_EQ(ProbeSettings{}.probeTimeout, 700ms) << "a busy filter still counts as answering";
    EXPECT_EQ(kUpdateTimeout, 15s);
    EXPECT_EQ(kTestMailTimeout, 60s);
    EXPECT_EQ(kCancelTimeout, 3s);
    EXPECT_EQ(PkexecRunner::kKillWaitMs, 2000) << "quitting waits at most this for pkexec";
}

TEST(ModelRefresh, OfflineGetsASecondLookThatDecides) {
    ScriptedGatherer gatherer{.states = {Protection::offline, Protection::fallback}};
    ProtectionModel model(gatherer.function(), {.secondOpinion = 50ms, .notice = 4s});
    ASSERT_TRUE(refreshed(model));
    EXPECT_EQ(gatherer.calls.load(), 2);
    EXPECT_EQ(model.snapshot().protection, Protection::fallback);
}

TEST(ModelRefresh, GoingAwayCutsTheSecondLookShort) {
    ScriptedGatherer gatherer{.states = {Protection::offline}};
    auto model =
        std::make_unique<ProtectionModel>(gatherer.function(), ModelTimings{.secondOpinion = 60s});
    model->refresh();
    ASSERT_TRUE(testing::waitUntil([&] { return gatherer.calls.load() == 1; }));
    QElapsedTimer clock;
    clock.start();
    model.reset();
    EXPECT_LT(clock.elapsed(), 10000);
}

TEST(ModelRefresh, StartsFromWhatTheGathererKnowsAndKeepsItsOwnSchedule) {
    ProtectionModel model(std::make_unique<CaptureGatherer>(QStringLiteral("respaldo")),
                          {.refreshEvery = 20ms});
    EXPECT_EQ(model.snapshot().protection, Protection::fallback) << "known before any gathering";
    QSignalSpy gathered(&model, &ProtectionModel::refreshed);
    model.start();
    EXPECT_TRUE(testing::waitUntil([&] { return gathered.size() >= 3; })) << "asked by no one";
    EXPECT_EQ(model.snapshot().protection, Protection::fallback);
}

TEST(ModelSettings, PageOnBlockSurvivesARestart) {
    const QString key = QLatin1String(ProtectionModel::kOpensHelpPageKey);
    const auto fresh = [] {
        return ProtectionModel(gathererOf([] { return ProtectionSnapshot{}; }));
    };
    QSettings().remove(key);
    EXPECT_TRUE(fresh().opensHelpPage()) << "absent means on";
    fresh().setOpensHelpPage(false);
    EXPECT_FALSE(fresh().opensHelpPage());
    QSettings().setValue(key, QStringLiteral("?"));
    EXPECT_TRUE(fresh().opensHelpPage()) << "not a Boolean means on";
    QSettings().remove(key);
}

}  // namespace
}  // namespace amparo
