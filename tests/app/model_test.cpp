#include "app/core/model.h"

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

}  // namespace
}  // namespace amparo
