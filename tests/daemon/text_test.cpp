#include "daemon/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tranca::text {
namespace {

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    forEachLine(text, [&](std::string_view line) { out.emplace_back(line); });
    return out;
}

TEST(TextLines, EveryUnicodeNewlineEndsALine) {
    const std::string text = "a\nb\rc\r\nd\ve\ff\xc2\x85g\xe2\x80\xa8h\xe2\x80\xa9i";
    EXPECT_EQ(lines(text), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g", "h", "i"}));
}

TEST(TextLines, LookalikeBytesAreNotNewlines) {
    // U+00A0 and U+2027 share lead bytes with the newline characters.
    EXPECT_EQ(lines("a\xc2\xa0"
                    "b\xe2\x80\xa7"
                    "c"),
              (std::vector<std::string>{"a\xc2\xa0"
                                        "b\xe2\x80\xa7"
                                        "c"}));
    EXPECT_EQ(lines("tail\xe2"), (std::vector<std::string>{"tail\xe2"}));
}

TEST(TextTrim, StripsTabsAndUnicodeSpaceSeparatorsOnly) {
    EXPECT_EQ(trimBlanks(" \t\xc2\xa0\xe2\x80\x83"
                         "name\xe3\x80\x80 \t"),
              "name");
    EXPECT_EQ(trimBlanks("a b"), "a b");
    EXPECT_EQ(trimBlanks("\t \t"), "");
    // Zero-width space is a format character, not a blank.
    EXPECT_EQ(trimBlanks("\xe2\x80\x8bname"), "\xe2\x80\x8bname");
}

TEST(TextUtf8, RejectsMalformedSequences) {
    EXPECT_TRUE(isValidUtf8("plain ascii"));
    EXPECT_TRUE(
        isValidUtf8("espa\xc3\xb1"
                    "a \xf0\x9f\x98\x80"));
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong slash
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xe2\x80"));          // cut short
    EXPECT_FALSE(isValidUtf8("\xff"));
}

TEST(TextCase, LowercasesAsciiAndUnicode) {
    EXPECT_EQ(lowercase("ExAmPle.COM"), "example.com");
    EXPECT_EQ(lowercase("\xc3\x91"
                        "and\xc3\x9a"),
              "\xc3\xb1"
              "and\xc3\xba");  // ÑandÚ
    EXPECT_EQ(lowercase("\xff"
                        "A"),
              "\xff"
              "a");  // stray bytes stay as they are
}

}  // namespace
}  // namespace tranca::text
