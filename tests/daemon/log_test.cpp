#include "daemon/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "tests/support/daemon_support.h"

namespace tranca {
namespace {

TEST(LogLine, OutsideTextCannotSplitOrForgeALine) {
    const std::string line =
        formatLogLine("BLOQUEADO evil.example\n[2026-01-01T00:00:00Z] falso\r\t\x7f\x01", 0);
    EXPECT_EQ(line,
              "[1970-01-01T00:00:00Z] BLOQUEADO evil.example\\x0a[2026-01-01T00:00:00Z] "
              "falso\\x0d\\x09\\x7f\\x01\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
}

struct EscapeRow {
    const char* what;
    std::string_view text;
    std::string_view escaped;
};

TEST(LogLine, UnicodeLineBreaksAndBidiControlsAreEscapedOtherUtf8Kept) {
    const std::vector<EscapeRow> rows = {
        {"first C1 control", "<\xc2\x80>", "<\\u0080>"},
        {"next line", "<\xc2\x85>", "<\\u0085>"},
        {"last C1 control", "<\xc2\x9f>", "<\\u009f>"},
        {"line separator", "<\xe2\x80\xa8>", "<\\u2028>"},
        {"paragraph separator", "<\xe2\x80\xa9>", "<\\u2029>"},
        {"left-to-right embedding", "<\xe2\x80\xaa>", "<\\u202a>"},
        {"right-to-left override", "<\xe2\x80\xae>", "<\\u202e>"},
        {"left-to-right isolate", "<\xe2\x81\xa6>", "<\\u2066>"},
        {"pop directional isolate", "<\xe2\x81\xa9>", "<\\u2069>"},
        {"byte that is not UTF-8", "<\x85>", "<\\x85>"},
        {"cut-short sequence", "<\xe2\x80", "<\\xe2\\x80"},
        {"Spanish text", "Página · ñ", "Página · ñ"},
        {"IDN name", "bücher.example", "bücher.example"},
        {"no-break space after the C1 controls", "<\xc2\xa0>", "<\xc2\xa0>"},
        {"narrow no-break space after the overrides", "<\xe2\x80\xaf>", "<\xe2\x80\xaf>"},
        {"invisible plus just before the isolates", "<\xe2\x81\xa4>", "<\xe2\x81\xa4>"},
        {"emoji", "<\xf0\x9f\x98\x80>", "<\xf0\x9f\x98\x80>"},
    };
    for (const EscapeRow& row : rows) {
        SCOPED_TRACE(row.what);
        std::string out = "x";
        appendEscaped(out, row.text);
        EXPECT_EQ(out, "x" + std::string(row.escaped));
    }
}

// A label is any bytes; in the log it must stay one word of host-name bytes,
// and a log past its cap is emptied, never left to grow.
TEST(LogLine, NamesAreEscapedAsDigShowsThemAndTheFileIsBounded) {
    EXPECT_EQ(dnsNameText("a BLOQUEADO b.Ex_1-2.x\x01\xc3\xb1"),
              "a\\032BLOQUEADO\\032b.Ex_1-2.x\\001\\195\\177");
    const testing::ScratchDir dir;
    dir.write("log", std::string(2048, 'x'));
    const int fd = ::open((dir / "log").c_str(), O_WRONLY | O_APPEND);
    EXPECT_FALSE(boundLogFile(fd, 4096));
    EXPECT_TRUE(boundLogFile(fd, 1024));
    ::close(fd);
    EXPECT_EQ(testing::readText(dir / "log"), "");  // the line went to standard output
}

}  // namespace
}  // namespace tranca
