#include "daemon/list_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/daemon/support.h"

namespace tranca {
namespace {

std::vector<std::string> names(const NameSet& set) {
    std::vector<std::string> out;
    set.forEach([&](std::string_view name) { out.emplace_back(name); });
    std::sort(out.begin(), out.end());
    return out;
}

using Names = std::vector<std::string>;

struct FormatRow {
    const char* fault;
    std::string text;
    Names expected;
    ListSkips skips{};
};

void PrintTo(const FormatRow& row, std::ostream* out) {
    *out << row.fault;
}

class ListFormat : public ::testing::TestWithParam<FormatRow> {};

TEST_P(ListFormat, YieldsExactlyTheListedNamesAndCountsWhatItPassedOver) {
    ListSkips skips;
    EXPECT_EQ(names(parseListText(GetParam().text, &skips)), GetParam().expected)
        << GetParam().fault;
    EXPECT_EQ(skips.notUtf8, GetParam().skips.notUtf8) << GetParam().fault;
    EXPECT_EQ(skips.unusable, GetParam().skips.unusable) << GetParam().fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFormat,
    ::testing::Values(
        FormatRow{"bare name", "example.com\n", {"example.com"}},
        FormatRow{"hosts form with comment field", "0.0.0.0 example.com #x\n", {"example.com"}},
        FormatRow{
            "hosts form with runs of spaces", "127.0.0.1   a.example  b.example", {"a.example"}},
        FormatRow{"hash glued to the name stays in it", "example.com#x", {"example.com#x"}},
        FormatRow{"comment line skipped", "# example.com\n  # also\n", {}},
        FormatRow{"lone hosts address is ignored", "0.0.0.0\n127.0.0.1\n", {}},
        FormatRow{"hosts boilerplate ignored",
                  "127.0.0.1 localhost\n::1 ip6-localhost\n"
                  "0.0.0.0 BroadcastHost\n",
                  {"::1"}},
        FormatRow{"tabs separate fields",
                  "127.0.0.1\ta.example\tb.example\nc.example\t# x\n",
                  {"a.example", "c.example"}},
        FormatRow{"upper case stored lower", "ExAmPlE.CoM\n", {"example.com"}},
        FormatRow{"unicode lower case",
                  "\xc3\x91"
                  "U.example\n",
                  {"\xc3\xb1"
                   "u.example"}},
        FormatRow{
            "duplicates collapse", "a.example\nA.EXAMPLE\n0.0.0.0 a.example\n", {"a.example"}},
        FormatRow{"empty labels dropped as in query names",
                  "trailing.example.\n0.0.0.0 .leading.example\ndouble..example\n",
                  {"double.example", "leading.example", "trailing.example"}},
        FormatRow{"wildcard read as the suffix it covers",
                  "*.wild.example\n0.0.0.0 *.Other.Example.\n",
                  {"other.example", "wild.example"}},
        FormatRow{"entries no query can match are counted",
                  "*\n*.\n...\n0.0.0.0 .\nads.*.example\n*.*.example\nok.example\n",
                  {"ok.example"},
                  {.unusable = 6}},
        FormatRow{"other address is a name", "10.0.0.1 example.com\n", {"10.0.0.1"}},
        FormatRow{"unicode blanks trimmed, a zero-width space kept",
                  "\xe2\x80\x83"
                  "a.example\xc2\xa0\n\t\xe3\x80\x80\xe2\x80\x8b"
                  "b.example\n",
                  {"a.example",
                   "\xe2\x80\x8b"
                   "b.example"}},
        FormatRow{"all newline kinds, and bytes that only look like one",
                  "a\rb\r\nc\vd\fe\xc2\x85"
                  "f\xe2\x80\xa8g\xe2\x80\xa9h\ni\xe2\x80\xa7j",
                  {"a", "b", "c", "d", "e", "f", "g", "h",
                   "i\xe2\x80\xa7"
                   "j"}},
        FormatRow{"no final newline", "last.example", {"last.example"}},
        FormatRow{"byte-order mark does not hide the first name",
                  "\xef\xbb\xbf"
                  "first.example\n",
                  {"first.example"}},
        FormatRow{"lines not utf-8 are skipped alone",
                  "good.example\ncaf\xe9.example\n"
                  "above\xf4\x90\x80\x80.example\n"  // past U+10FFFF
                  "half\xe2\x82\nover\xc0\xaflong\nsurrogate\xed\xa0\x80\n"
                  "ff\xff\nlast.example",
                  {"good.example", "last.example"},
                  {.notUtf8 = 6}},
        FormatRow{"empty file", "", {}}),
    [](const ::testing::TestParamInfo<FormatRow>& info) {
        std::string name = info.param.fault;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

TEST(ListFileOnDisk, MissingDirectoryAndFifoCountAsEmpty) {
    const testing::ScratchDir dir;
    EXPECT_TRUE(parseListFile((dir / "absent.txt").string()).empty());
    EXPECT_TRUE(parseListFile(dir.path().string()).empty());
    const std::string fifo = (dir / "fifo.txt").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Must return at once rather than wait for a writer.
    EXPECT_TRUE(parseListFile(fifo).empty());
}

TEST(ListFileOnDisk, ReadAcrossManyChunksAndABadLineFarInCostsOnlyItself) {
    const testing::ScratchDir dir;
    std::string content;
    for (int i = 0; i < 100000; ++i) {
        content += "0.0.0.0 host" + std::to_string(i) + ".example.com\n";
    }
    content += "bad\xc3\nlast.example\n";
    dir.write("big.txt", content);
    ListSkips skips;
    const NameSet set = parseListFile((dir / "big.txt").string(), &skips);
    EXPECT_EQ(set.size(), 100001u);
    EXPECT_TRUE(set.contains("host0.example.com"));
    EXPECT_TRUE(set.contains("host99999.example.com"));
    EXPECT_TRUE(set.contains("last.example"));
    EXPECT_EQ(skips.notUtf8, 1u);
}

}  // namespace
}  // namespace tranca
