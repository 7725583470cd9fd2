#include "daemon/system/selfcheck.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

// Two failed probes in a row stop the daemon; a good one in between resets.
TEST(SelfCheckCounting, SecondFailureInARowTerminatesWithStatusOne) {
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DNS", "0"}}, {});
    SelfCheck check(config);
    asio::io_context io;
    std::vector<std::pair<int, std::string>> ended;
    check.attachLoop(io, [&](int status, std::string_view reason) {
        ended.emplace_back(status, std::string(reason));
    });
    const tranca::testing::CapturedOutput out;
    check.finishSelfCheck(false);
    check.finishSelfCheck(true);
    check.finishSelfCheck(true);
    check.finishSelfCheck(false);
    EXPECT_TRUE(ended.empty());
    check.finishSelfCheck(false);
    const std::string log = out.text();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0], std::make_pair(1, std::string("el filtro no responde")));
    EXPECT_NE(log.find("Autochequeo sin respuesta (1/2)"), std::string::npos);
    EXPECT_NE(log.find("Autochequeo sin respuesta (2/2)"), std::string::npos);
    // Recovered once, then silent on the following good probe.
    EXPECT_EQ(tranca::testing::countOf(log, "Autochequeo recuperado"), 1u);
}

// A stranger answering on the filter's port (here an echo) is no filter.
TEST(SelfCheckProbe, AnAnswerThatIsNotTheStatusCountsAsNone) {
    asio::io_context io;
    asio::ip::udp::socket stranger(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
    std::array<std::byte, 512> datagram;
    asio::ip::udp::endpoint from;
    std::function<void()> echo = [&] {
        stranger.async_receive_from(
            asio::buffer(datagram), from, [&](std::error_code error, std::size_t size) {
                if (!error) {
                    stranger.send_to(asio::buffer(datagram.data(), size), from, 0, error);
                    echo();
                }
            });
    };
    echo();
    const DaemonConfig config = makeBaseConfig(
        {{"TRANCAD_DNS", "0"}, {"TRANCAD_PORT", std::to_string(stranger.local_endpoint().port())}},
        {});
    SelfCheck check(config);
    std::vector<int> ended;
    check.attachLoop(io, [&](int status, std::string_view) { ended.push_back(status); });
    const tranca::testing::CapturedOutput out;
    check.runSelfCheck();
    check.runSelfCheck();
    while (ended.empty() && io.run_one_for(std::chrono::seconds(5)) > 0) {
    }
    EXPECT_EQ(ended, std::vector<int>{1}) << out.text();
}

}  // namespace
}  // namespace tranca
