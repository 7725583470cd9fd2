#include "daemon/daemon.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "daemon/dns/block_log.h"
#include "daemon/dns/query_pipeline.h"
#include "daemon/lists/safesearch.h"
#include "daemon/notices/notice_sender.h"
#include "daemon/page/blockpage.h"
#include "daemon/upstream/answer_cache.h"
#include "daemon/upstream/cache_wire.h"
#include "platform/instance_lock.h"
#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;

TEST(DaemonMaintenance, ShortTickPicksUpNewListsAndDestinationWithoutRestart) {
    const testing::ScratchDir dir;
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DIR", dir.path().string()},
                                          {"TRANCAD_DNS", "0"},
                                          {"TRANCAD_PORT", "0"},
                                          {"TRANCAD_HTTP", "0"},
                                          {"TRANCAD_REDIRECT", ""}},
                                         {});
    completeDaemonConfig(config);
    DaemonTimings timings;
    timings.maintenanceInterval = 50ms;
    timings.selfCheckFirst = 1h;
    // Another daemon on an ephemeral port (a test beside this one) shares nothing.
    platform::InstanceClaim other;
    ASSERT_TRUE(other.claim("trancad 127.0.0.1:0"));
    {
        Daemon daemon(std::move(config), timings);
        daemon.start();
        std::thread loop([&] { daemon.runLoop(); });
        EXPECT_FALSE(daemon.blocklist().isBlocked("nuevo.example"));
        EXPECT_EQ(*daemon.sharedRedirect().url(), "");
        dir.write("custom.txt", "nuevo.example\n");
        dir.write("redirect.txt", "# nuevo destino\nhttp://ayuda.example/\n");
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        // The tick counts itself after the reload: wait for both.
        while ((!daemon.blocklist().isBlocked("nuevo.example") || daemon.tickCount() == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(daemon.blocklist().isBlocked("nuevo.example"));
        EXPECT_EQ(*daemon.sharedRedirect().url(), "http://ayuda.example/");
        const std::size_t ticks = daemon.tickCount();
        EXPECT_GE(ticks, 1u);
        daemon.stopLoop();
        loop.join();
    }
}

// The figures the filter's users are told or rely on. Tests shorten the
// timers they wait for, so without this table a default could drift unseen.
TEST(DaemonDefaults, AreTheFiguresUsersAreToldAndRelyOn) {
    const DaemonTimings daemon;
    EXPECT_EQ(daemon.selfCheckInterval, 15s) << "the self-check every 15 seconds";
    EXPECT_EQ(daemon.selfCheckFirst, 1s);
    EXPECT_EQ(daemon.selfCheckTimeout, 4s);
    EXPECT_EQ(daemon.maintenanceInterval, 1min) << "an edited list taken within a minute";
    EXPECT_EQ(kSafeSearchEveryTicks * daemon.maintenanceInterval, 5min);
    EXPECT_EQ(daemon.waitTick, 15s);
    EXPECT_EQ(daemon.listenerRetry, 2s);
    EXPECT_EQ(daemon.blockPageRetry, 5s);
    EXPECT_EQ(daemon.blockPageRequestTimeout, 10s);
    EXPECT_EQ(kLogSizeCap, 32u << 20);

    const UpstreamEndpoints upstream;
    EXPECT_EQ(upstream.dohTimeout, 2s);
    EXPECT_EQ(upstream.udpTimeout, 2500ms);
    EXPECT_EQ(upstream.plainPeriod, 5min) << "back to encrypted DNS five minutes after an outage";
    const TcpLimits tcp;
    EXPECT_EQ(tcp.idleTimeout, 10s);
    EXPECT_EQ(tcp.writeTimeout, 5s);
    EXPECT_EQ(BlockPageLimits{}.maxConnections, 128u);

    const BlockLogLimits log;
    EXPECT_EQ(log.perName, 1s);
    EXPECT_EQ(log.linesPerSecond, 50u);
    EXPECT_EQ(log.linesPerSecondWithNewNames, 500u);
    EXPECT_EQ(kUnansweredLogLimits.perName, 1min) << "an unanswered name once a minute";

    EXPECT_EQ(kMaxPositiveTtl, 86400u);
    EXPECT_EQ(kMaxNegativeTtl, 3600u);
    EXPECT_EQ(kStaleTtl, 30u);

    const SenderTimings notices = senderTimingsFor(1);
    EXPECT_EQ(notices.attemptTimeout, 30s);
    EXPECT_EQ(notices.firstPause, 30s);
    EXPECT_EQ(notices.longestPause, 1h);
    EXPECT_EQ(notices.giveUpAfter, std::chrono::hours(7 * 24)) << "a notice is kept a week";
    EXPECT_EQ(pauseAfter(1, notices), 30s);
    EXPECT_EQ(pauseAfter(3, notices), 2min);
    EXPECT_EQ(pauseAfter(12, notices), 1h);

    // What the engines' safe hosts answered when written: every engine is
    // enforced before the first refresh.
    EXPECT_EQ(safehosts::kGoogleBuiltIn, (Ipv4{216, 239, 38, 120}));
    EXPECT_EQ(safehosts::kBingBuiltIn, (Ipv4{204, 79, 197, 220}));
}

}  // namespace
}  // namespace tranca
