#include "daemon/selfcheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/daemon/support.h"

namespace tranca {
namespace {

using namespace std::chrono_literals;

TEST(StatusReply, OnlyAReplyEndingInTheStatusAddressIsRight) {
    const std::array<std::uint8_t, 4> status{127, 0, 0, 2};
    const std::vector<std::uint8_t> right = {0x42, 0x42, 0x81, 0x80, 127, 0, 0, 2};
    const std::vector<std::uint8_t> blockAnswer = {0x42, 0x42, 0x81, 0x80, 127, 0, 0, 1};
    const std::vector<std::uint8_t> shortReply = {0, 0, 2};
    EXPECT_TRUE(isRightStatusReply(right, status));
    EXPECT_FALSE(isRightStatusReply(blockAnswer, status));
    EXPECT_FALSE(isRightStatusReply(shortReply, status));
    EXPECT_FALSE(isRightStatusReply({}, status));
}

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

TEST(SelfCheckProbe, NothingListeningCountsAsAFailedProbe) {
    // A port with nothing bound: the probe fails fast (refused) or on its timer.
    asio::io_context io;
    asio::ip::udp::socket holder(io, {asio::ip::udp::v4(), 0});
    const auto port = holder.local_endpoint().port();
    holder.close();
    DaemonConfig config =
        makeBaseConfig({{"TRANCAD_DNS", "0"}, {"TRANCAD_PORT", std::to_string(port)}}, {});
    SelfCheck check(config);
    int terminations = 0;
    check.attachLoop(
        io, [&](int, std::string_view) { ++terminations; }, 300ms);
    const tranca::testing::CapturedOutput out;
    check.runSelfCheck();
    io.run_for(3s);
    io.restart();
    check.runSelfCheck();
    io.run_for(3s);
    const std::string log = out.text();
    EXPECT_EQ(terminations, 1);
    EXPECT_NE(log.find("Autochequeo sin respuesta (2/2)"), std::string::npos) << log;
}

TEST(SelfCheckProbe, RightReplyFromAListenerIsAGoodProbe) {
    asio::io_context io;
    asio::ip::udp::socket listener(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
    std::array<std::uint8_t, 512> buffer{};
    asio::ip::udp::endpoint from;
    std::vector<std::uint8_t> seen;
    listener.async_receive_from(asio::buffer(buffer), from, [&](std::error_code, std::size_t n) {
        seen.assign(buffer.begin(), buffer.begin() + n);
        std::vector<std::uint8_t> reply(seen);
        reply.insert(reply.end(), {127, 0, 0, 2});
        listener.send_to(asio::buffer(reply), from);
    });
    DaemonConfig config = makeBaseConfig(
        {{"TRANCAD_DNS", "0"}, {"TRANCAD_PORT", std::to_string(listener.local_endpoint().port())}},
        {});
    SelfCheck check(config);
    int terminations = 0;
    check.attachLoop(
        io, [&](int, std::string_view) { ++terminations; }, 2s);
    check.finishSelfCheck(false);  // one failure already counted
    const tranca::testing::CapturedOutput out;
    check.runSelfCheck();
    io.run_for(3s);
    const std::string log = out.text();
    EXPECT_EQ(seen, buildStatusQuery("estado.amparo.internal"));
    EXPECT_NE(log.find("Autochequeo recuperado"), std::string::npos) << log;
    EXPECT_EQ(terminations, 0);
}

}  // namespace
}  // namespace tranca
