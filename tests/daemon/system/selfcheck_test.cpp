#include "daemon/system/selfcheck.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tranca
