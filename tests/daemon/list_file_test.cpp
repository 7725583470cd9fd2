#include "daemon/list_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tranca {
namespace {

std::vector<std::string> names(const NameSet& set) {
    std::vector<std::string> out;
    set.forEach([&](std::string_view name) { out.emplace_back(name); });
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> parse(std::string_view text) {
    return names(parseListText(text));
}

using Names = std::vector<std::string>;

struct FormatRow {
    const char* fault;
    std::string text;
    Names expected;
};

class ListFormat : public testing::TestWithParam<FormatRow> {};

TEST_P(ListFormat, YieldsExactlyTheListedNames) {
    EXPECT_EQ(parse(GetParam().text), GetParam().expected) << GetParam().fault;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFormat,
    testing::Values(
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
        FormatRow{"tab is not a separator", "example.com\tx\n", {"example.com\tx"}},
        FormatRow{"upper case stored lower", "ExAmPlE.CoM\n", {"example.com"}},
        FormatRow{"unicode lower case",
                  "\xc3\x91"
                  "U.example\n",
                  {"\xc3\xb1"
                   "u.example"}},
        FormatRow{
            "duplicates collapse", "a.example\nA.EXAMPLE\n0.0.0.0 a.example\n", {"a.example"}},
        FormatRow{"trailing dot stored as written", "example.com.\n", {"example.com."}},
        FormatRow{"other address is a name", "10.0.0.1 example.com\n", {"10.0.0.1"}},
        FormatRow{"unicode blanks trimmed",
                  "\xe2\x80\x83"
                  "a.example\xc2\xa0\n",
                  {"a.example"}},
        FormatRow{"all newline kinds",
                  "a\rb\r\nc\vd\fe\xc2\x85"
                  "f\xe2\x80\xa8g\xe2\x80\xa9h",
                  {"a", "b", "c", "d", "e", "f", "g", "h"}},
        FormatRow{"no final newline", "last.example", {"last.example"}},
        FormatRow{"byte-order mark does not hide the first name",
                  "\xef\xbb\xbf"
                  "first.example\n",
                  {"first.example"}},
        FormatRow{"not utf-8 counts as empty", "good.example\n\xff\xfe bad\n", {}},
        FormatRow{"empty file", "", {}}),
    [](const testing::TestParamInfo<FormatRow>& info) {
        std::string name = info.param.fault;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
        return name;
    });

TEST(ListParserChunks, SameNamesWhateverTheChunkBoundaries) {
    const std::string text =
        "\xef\xbb\xbf"
        "0.0.0.0 one.example\r\ntwo.example\xe2\x80\xa8three.example\xc2\x85"
        "# c\n\xc3\x91.example\rfour.example";
    const Names whole = parse(text);
    ASSERT_EQ(whole.size(), 5u);
    for (std::size_t chunk = 1; chunk <= 7; ++chunk) {
        ListParser parser;
        for (std::size_t at = 0; at < text.size(); at += chunk) {
            parser.feed(std::string_view(text).substr(at, chunk));
        }
        EXPECT_EQ(names(parser.finish()), whole) << "chunk size " << chunk;
    }
}

class ListFileOnDisk : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("amparo-list-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& content) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST_F(ListFileOnDisk, MissingDirectoryAndFifoCountAsEmpty) {
    EXPECT_TRUE(parseListFile((dir_ / "absent.txt").string()).empty());
    EXPECT_TRUE(parseListFile(dir_.string()).empty());
    const std::string fifo = (dir_ / "fifo.txt").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Must return at once rather than wait for a writer.
    EXPECT_TRUE(parseListFile(fifo).empty());
}

TEST_F(ListFileOnDisk, LargeFileReadAcrossManyChunks) {
    std::string content;
    for (int i = 0; i < 100000; ++i) {
        content += "0.0.0.0 host" + std::to_string(i) + ".example.com\n";
    }
    const NameSet set = parseListFile(write("big.txt", content));
    EXPECT_EQ(set.size(), 100000u);
    EXPECT_TRUE(set.contains("host99999.example.com"));
    EXPECT_TRUE(set.contains("host0.example.com"));
}

TEST_F(ListFileOnDisk, InvalidByteFarIntoTheFileEmptiesTheWholeList) {
    std::string content;
    for (int i = 0; i < 50000; ++i) {
        content += "n" + std::to_string(i) + ".example\n";
    }
    content += "bad\xc3\n";
    EXPECT_TRUE(parseListFile(write("bad.txt", content)).empty());
}

}  // namespace
}  // namespace tranca
