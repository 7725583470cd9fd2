#include "daemon/daemon.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

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

}  // namespace
}  // namespace tranca
