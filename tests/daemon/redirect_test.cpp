#include "daemon/redirect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

namespace tranca {
namespace {

constexpr std::string_view kDefault = "https://default.example/stop";

std::string parse(std::string_view text) {
    return parseRedirectText(text, kDefault);
}

TEST(RedirectFileRules, BlankAndCommentLinesBeforeLocalInCapitalsGiveBuiltInPage) {
    EXPECT_EQ(parse("\n   \n\t\n# elegido por el usuario\n   LOCAL  \n"), "");
    EXPECT_EQ(parse("lOcAl"), "");
}

TEST(RedirectFileRules, SchemeInCapitalsIsNotAnAddress) {
    EXPECT_EQ(parse("HTTPS://ayuda.example/"), kDefault);
    EXPECT_EQ(parse("Http://ayuda.example/"), kDefault);
}

TEST(RedirectFileRules, FirstSettingLineWinsOverLaterOnes) {
    EXPECT_EQ(parse("http://ayuda.example/x\nlocal\n"), "http://ayuda.example/x");
    EXPECT_EQ(parse("# c\nlocal\nhttps://otro.example\n"), "");
}

TEST(RedirectFileRules, AddressIsTrimmedButOtherwiseUnchanged) {
    EXPECT_EQ(parse("  \thttps://Ayuda.example/a b?c=%20 \t"), "https://Ayuda.example/a b?c=%20");
    // U+3000 (ideographic space) and U+00A0 are blanks too.
    EXPECT_EQ(parse("\u3000\u00a0https://a.example/\u00a0"), "https://a.example/");
}

TEST(RedirectFileRules, EveryUnicodeNewlineEndsALine) {
    for (const std::string_view newline :
         {"\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        const std::string text = "# comentario" + std::string(newline) + "local";
        EXPECT_EQ(parse(text), "") << "newline of " << newline.size() << " bytes";
    }
    // Without a newline the comment swallows the word.
    EXPECT_EQ(parse("# comentario local"), kDefault);
}

TEST(RedirectFileRules, AnythingElseAndNoSettingGiveTheDefault) {
    EXPECT_EQ(parse(""), kDefault);
    EXPECT_EQ(parse("\n# solo comentarios\n"), kDefault);
    EXPECT_EQ(parse("ayuda.example"), kDefault);
    EXPECT_EQ(parse("locales"), kDefault);
    EXPECT_EQ(parse("ftp://a.example"), kDefault);
}

TEST(RedirectFileRules, TextThatIsNotUtf8GivesTheDefault) {
    EXPECT_EQ(parse("local\n\xff\xfe"), kDefault);
}

TEST(RedirectFileRules, ControlCharacterInsideAddressCannotReachTheHeader) {
    EXPECT_EQ(parse(std::string_view("https://a.example/\x01x", 20)), kDefault);
    EXPECT_EQ(parse(std::string("https://a.example/\0x", 20)), kDefault);
}

class RedirectReload : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("redirect_test_" + std::to_string(::getpid()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
        path_ = (directory_ / "redirect.txt").string();
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    // Writes the file and gives it a distinct modification time.
    void write(std::string_view content) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
        const timespec times[2] = {{0, UTIME_NOW}, {1'000'000'000 + ++stamp_, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    }

    // Runs reload and returns what it logged.
    std::string reloadLogged(Redirect& redirect, bool* read = nullptr) {
        ::testing::internal::CaptureStdout();
        const bool wasRead = redirect.reload();
        if (read) {
            *read = wasRead;
        }
        return ::testing::internal::GetCapturedStdout();
    }

    std::filesystem::path directory_;
    std::string path_;
    long stamp_ = 0;
};

TEST_F(RedirectReload, FirstStartWithoutFileLogsTheDefaultOnce) {
    Redirect redirect(path_, std::string(kDefault));
    EXPECT_EQ(*redirect.url(), kDefault);
    const std::string first = reloadLogged(redirect);
    EXPECT_NE(first.find("Al bloquear se lleva a: https://default.example/stop\n"),
              std::string::npos)
        << first;
    bool read = true;
    EXPECT_EQ(reloadLogged(redirect, &read), "");
    EXPECT_FALSE(read);
}

TEST_F(RedirectReload, EmptyDefaultMeansTheBuiltInPage) {
    Redirect redirect(path_, "");
    const std::string logged = reloadLogged(redirect);
    EXPECT_NE(logged.find("Al bloquear se lleva a: la página incluida\n"), std::string::npos);
    EXPECT_EQ(*redirect.url(), "");
}

TEST_F(RedirectReload, RewritingTheSameDestinationRereadsButLogsNothing) {
    write("https://ayuda.example/\n");
    Redirect redirect(path_, std::string(kDefault));
    reloadLogged(redirect);
    write("# otra vez\nhttps://ayuda.example/\n");
    bool read = false;
    EXPECT_EQ(reloadLogged(redirect, &read), "");
    EXPECT_TRUE(read);
    EXPECT_EQ(*redirect.url(), "https://ayuda.example/");
}

TEST_F(RedirectReload, ChangeIsLoggedAndVanishedFileBringsBackTheDefault) {
    write("local\n");
    Redirect redirect(path_, std::string(kDefault));
    EXPECT_NE(reloadLogged(redirect).find("la página incluida"), std::string::npos);
    write("http://otra.example/\n");
    EXPECT_NE(reloadLogged(redirect).find("Al bloquear se lleva a: http://otra.example/"),
              std::string::npos);
    EXPECT_EQ(*redirect.url(), "http://otra.example/");
    std::filesystem::remove(path_);
    EXPECT_NE(reloadLogged(redirect).find(std::string(kDefault)), std::string::npos);
    EXPECT_EQ(*redirect.url(), kDefault);
}

TEST_F(RedirectReload, UnchangedTimeIsNotReread) {
    write("local\n");
    Redirect redirect(path_, std::string(kDefault));
    reloadLogged(redirect);
    // Same size, same time: the content is not looked at again.
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << "LOCAL\n";
    const timespec times[2] = {{0, UTIME_NOW}, {1'000'000'000 + stamp_, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    bool read = true;
    reloadLogged(redirect, &read);
    EXPECT_FALSE(read);
}

TEST_F(RedirectReload, FifoInPlaceOfTheFileDoesNotStallTheReload) {
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    Redirect redirect(path_, std::string(kDefault));
    auto done = std::async(std::launch::async, [&] { return redirect.reload(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "reload blocked on a FIFO";
    EXPECT_EQ(*redirect.url(), kDefault);
}

TEST_F(RedirectReload, OversizedFileCountsAsUnreadable) {
    write("local\n" + std::string(2 << 20, '#'));
    Redirect redirect(path_, std::string(kDefault));
    reloadLogged(redirect);
    EXPECT_EQ(*redirect.url(), kDefault);
}

TEST_F(RedirectReload, ReadersSeeAConsistentUrlWhileReloading) {
    Redirect redirect(path_, std::string(kDefault));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            const auto url = redirect.url();
            ASSERT_TRUE(*url == kDefault || *url == "" || *url == "https://b.example/");
        }
    });
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 200; ++i) {
        write(i % 2 ? "local\n" : "https://b.example/\n");
        redirect.reload();
    }
    ::testing::internal::GetCapturedStdout();
    stop = true;
    reader.join();
}

}  // namespace
}  // namespace tranca
