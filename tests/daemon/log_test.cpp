#include "daemon/log.h"

#include <gtest/gtest.h>

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
