#include "daemon/lists/list_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/daemon_support.h"

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
        FormatRow{"hosts forms, comments and boilerplate",
                  "example.com\n0.0.0.0 b.example #x\n127.0.0.1   c.example  x.example\n"
                  "127.0.0.1\td.example\tx.example\ne.example\t# x\nhash.example#x\n"
                  "# x.example\n  # also\n0.0.0.0\n127.0.0.1 localhost\n::1 ip6-localhost\n"
                  "0.0.0.0 BroadcastHost\n10.0.0.1 x.example\n",
                  {"10.0.0.1", "::1", "b.example", "c.example", "d.example", "e.example",
                   "example.com", "hash.example#x"}},
        FormatRow{"case folded, Unicode too, and duplicates collapse",
                  "ExAmPlE.CoM\n\xc3\x91U.example\na.example\nA.EXAMPLE\n0.0.0.0 a.example\n",
                  {"a.example", "example.com", "\xc3\xb1u.example"}},
        FormatRow{"empty labels dropped as in query names, wildcards read as their suffix",
                  "trailing.example.\n0.0.0.0 .leading.example\ndouble..example\n"
                  "*.wild.example\n0.0.0.0 *.Other.Example.\n",
                  {"double.example", "leading.example", "other.example", "trailing.example",
                   "wild.example"}},
        FormatRow{"entries no query can match are counted",
                  "*\n*.\n...\n0.0.0.0 .\nads.*.example\n*.*.example\nok.example\n",
                  {"ok.example"},
                  {.unusable = 6}},
        FormatRow{"unicode blanks trimmed, a zero-width space kept",
                  "\xe2\x80\x83"
                  "a.example\xc2\xa0\n\t\xe3\x80\x80\xe2\x80\x8b"
                  "b.example\n",
                  {"a.example",
                   "\xe2\x80\x8b"
                   "b.example"}},
        FormatRow{"all newline kinds, bytes that only look like one, no final newline",
                  "a\rb\r\nc\vd\fe\xc2\x85"
                  "f\xe2\x80\xa8g\xe2\x80\xa9h\ni\xe2\x80\xa7j",
                  {"a", "b", "c", "d", "e", "f", "g", "h",
                   "i\xe2\x80\xa7"
                   "j"}},
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
                  {.notUtf8 = 6}}),
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

// Grown one name at a time (no line count to size it by): the table keeps
// room, or a look-up of an absent name would never end.
TEST(NameSetTable, KeepsRoomWithoutASizeHint) {
    NameSet set;
    for (int i = 0; i < 1024; ++i) {
        set.insert("n" + std::to_string(i) + ".example");
    }
    EXPECT_TRUE(set.contains("n1023.example"));
    EXPECT_FALSE(set.contains("absent.example"));
}

}  // namespace
}  // namespace tranca
