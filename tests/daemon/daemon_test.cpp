#include "daemon/daemon.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace tranca {
namespace {

using namespace std::chrono_literals;

TEST(DaemonMaintenance, ShortTickPicksUpANewListWithoutRestart) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("amparo-daemon-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DIR", dir.string()},
                                          {"TRANCAD_DNS", "0"},
                                          {"TRANCAD_PORT", "0"},
                                          {"TRANCAD_HTTP", "0"}},
                                         {});
    completeDaemonConfig(config);
    DaemonTimings timings;
    timings.maintenanceInterval = 50ms;
    timings.selfCheckFirst = 1h;
    {
        Daemon daemon(std::move(config), timings);
        daemon.start();
        std::thread loop([&] { daemon.runLoop(); });
        EXPECT_FALSE(daemon.blocklist().isBlocked("nuevo.example"));
        std::ofstream(dir / "custom.txt") << "nuevo.example\n";
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        // The tick counts itself after the reload: wait for both.
        while ((!daemon.blocklist().isBlocked("nuevo.example") || daemon.tickCount() == 0) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(daemon.blocklist().isBlocked("nuevo.example"));
        const std::size_t ticks = daemon.tickCount();
        EXPECT_GE(ticks, 1u);
        daemon.stopLoop();
        loop.join();
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tranca
