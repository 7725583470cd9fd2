#include "daemon/cli.h"

#include <gtest/gtest.h>

namespace tranca {
namespace {

using Args = std::vector<std::string>;

TEST(ArgumentDispatch, OnlyTwoArgumentsWithAKnownFlagSelectToolMode) {
    EXPECT_EQ(classifyArguments({}), ArgumentsKind::daemon);
    EXPECT_EQ(classifyArguments(Args{"--dns", "estado"}), ArgumentsKind::tool);
    EXPECT_EQ(classifyArguments(Args{"--proxy", "x"}), ArgumentsKind::tool);
    EXPECT_EQ(classifyArguments(Args{"--dns"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--bogus", "local"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--dns", "local", "extra"}), ArgumentsKind::usage);
    EXPECT_EQ(classifyArguments(Args{"--DNS", "local"}), ArgumentsKind::usage);
}

TEST(RunCommand, UnknownPairsGetTheUsageTextEvenWithoutRights) {
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DNS", "0"}}, {});
    for (const auto& [flag, value] : std::vector<std::pair<std::string, std::string>>{
             {"--proxy", "local"}, {"--dns", "apagado"}, {"--dns", "Local"}, {"--dns", ""}}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(runCommand(config, flag, value), 64) << flag << " " << value;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), kUsageText);
    }
}

TEST(RunCommand, ChangesNeedTheRightToManageTheNetwork) {
    DaemonConfig config = makeBaseConfig({{"TRANCAD_DNS", "0"}}, {});
    for (const char* value : {"local", "respaldo", "original"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(runCommand(config, "--dns", value), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Hace falta ser administrador para cambiar la red.\n");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(runCommand(config, "--proxy", "apagado"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Hace falta ser administrador para cambiar la red.\n");
}

}  // namespace
}  // namespace tranca
