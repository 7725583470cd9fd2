#include "daemon/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace tranca {
namespace {

TEST(LogLine, HasIsoUtcStampAndOneNewline) {
    // 2026-12-05T17:35:22Z
    EXPECT_EQ(formatLogLine("Listas cargadas: 1 dominios bloqueados, 0 permitidos", 1796492122),
              "[2026-12-05T17:35:22Z] Listas cargadas: 1 dominios bloqueados, 0 permitidos\n");
    EXPECT_EQ(isoTimestamp(0), "1970-01-01T00:00:00Z");
}

TEST(LogLine, OutsideTextCannotSplitOrForgeALine) {
    const std::string line =
        formatLogLine("BLOQUEADO evil.example\n[2026-01-01T00:00:00Z] falso\r\t\x7f\x01", 0);
    EXPECT_EQ(line,
              "[1970-01-01T00:00:00Z] BLOQUEADO evil.example\\x0a[2026-01-01T00:00:00Z] "
              "falso\\x0d\\x09\\x7f\\x01\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}

TEST(LogLine, Utf8PassesThrough) {
    EXPECT_EQ(formatLogLine("Página · ñ", 0), "[1970-01-01T00:00:00Z] Página · ñ\n");
}

}  // namespace
}  // namespace tranca

namespace tranca {
namespace {

TEST(LogBatchTest, LinesWaitForTheBatchThenLeaveWhole) {
    std::optional<LogBatch> batch(std::in_place);
    testing::internal::CaptureStdout();
    logLine("BLOQUEADO uno.example");
    logLine("BLOQUEADO dos.example\nfalso");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "held while the batch is open";
    testing::internal::CaptureStdout();
    batch.reset();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
    EXPECT_NE(out.find("] BLOQUEADO uno.example\n["), std::string::npos) << out;
    EXPECT_NE(out.find("] BLOQUEADO dos.example\\x0afalso\n"), std::string::npos) << out;
}

TEST(LogBatchTest, WithoutABatchEveryLineIsWrittenAtOnce) {
    testing::internal::CaptureStdout();
    logLine("Listas cargadas: 1 dominios bloqueados, 0 permitidos");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Listas cargadas"), std::string::npos);
}

}  // namespace
}  // namespace tranca
