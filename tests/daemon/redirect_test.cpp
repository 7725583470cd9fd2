#include "daemon/redirect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <future>
#include <thread>

#include "tests/daemon/support.h"

namespace tranca {
namespace {

constexpr std::string_view kDefault = "https://default.example/stop";

TEST(RedirectFileRules, FirstSettingLineDecides) {
    const std::pair<std::string_view, std::string_view> rows[] = {
        // Blank and comment lines pass; "local" in any case is the built-in page.
        {"\n   \n\t\n# elegido por el usuario\n   LOCAL  \n", ""},
        {"http://ayuda.example/x\nlocal\n", "http://ayuda.example/x"},
        {"# c\nlocal\nhttps://otro.example\n", ""},
        // The address is trimmed (U+3000 and U+00A0 are blanks too), not changed.
        {"  \thttps://Ayuda.example/a b?c=%20 \t", "https://Ayuda.example/a b?c=%20"},
        {"\u3000\u00a0https://a.example/\u00a0", "https://a.example/"},
        // Anything else gives the default.
        {"", kDefault},
        {"\n# solo comentarios\n", kDefault},
        {"# comentario local", kDefault},
        {"HTTPS://ayuda.example/", kDefault},
        {"ayuda.example", kDefault},
        {"locales", kDefault},
        {"ftp://a.example", kDefault},
        {"local\n\xff\xfe", kDefault},
        {std::string_view("https://a.example/\x01x", 20), kDefault},
        {std::string_view("https://a.example/\0x", 20), kDefault},
    };
    for (const auto& [text, url] : rows) {
        EXPECT_EQ(parseRedirectText(text, kDefault), url) << text;
    }
    for (const std::string_view newline :
         {"\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        EXPECT_EQ(parseRedirectText("# comentario" + std::string(newline) + "local", kDefault), "")
            << "newline of " << newline.size() << " bytes";
    }
}

class RedirectReload : public ::testing::Test {
  protected:
    // Writes the file with a modification time of its own (or the last one).
    void write(std::string_view content, bool newTime = true) {
        testing::writeText(path_, content);
        stamp_ += newTime ? 1 : 0;
        const timespec times[2] = {{0, UTIME_NOW}, {1'000'000'000 + stamp_, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
    }

    // Runs reload; what it logged, and whether it read the file.
    std::pair<std::string, bool> reload(Redirect& redirect) {
        const testing::CapturedOutput out;
        const bool read = redirect.reload();
        return {out.text(), read};
    }

    testing::ScratchDir directory_;
    std::string path_ = directory_ / "redirect.txt";
    long stamp_ = 0;
};

TEST_F(RedirectReload, ChangesAreLoggedOnceAndAnUnchangedTimeIsNotReread) {
    Redirect redirect(path_, std::string(kDefault));
    EXPECT_EQ(*redirect.url(), kDefault);
    EXPECT_EQ(testing::countOf(reload(redirect).first,
                               "] Al bloquear se lleva a: https://default.example/stop\n"),
              1u);
    EXPECT_EQ(reload(redirect), std::make_pair(std::string(), false)) << "no file, no news";

    write("local\n");
    EXPECT_NE(reload(redirect).first.find("Al bloquear se lleva a: la página incluida"),
              std::string::npos);
    write("http://otra.example/\n");
    EXPECT_NE(reload(redirect).first.find("Al bloquear se lleva a: http://otra.example/"),
              std::string::npos);
    write("# otra vez\nhttp://otra.example/\n");
    EXPECT_EQ(reload(redirect), std::make_pair(std::string(), true)) << "same destination";
    write("local\n", false);  // same time: the content is not looked at
    EXPECT_EQ(reload(redirect), std::make_pair(std::string(), false));
    EXPECT_EQ(*redirect.url(), "http://otra.example/");

    std::filesystem::remove(path_);
    EXPECT_NE(reload(redirect).first.find(std::string(kDefault)), std::string::npos);
    EXPECT_EQ(*redirect.url(), kDefault);
}

TEST_F(RedirectReload, FifoOrOversizedFileCountsAsUnreadableWithoutStalling) {
    for (const bool fifo : {true, false}) {
        std::filesystem::remove(path_);
        if (fifo) {
            ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
        } else {
            write("local\n" + std::string(2 << 20, '#'));
        }
        Redirect redirect(path_, std::string(kDefault));
        auto done = std::async(std::launch::async, [&] { return reload(redirect); });
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "reload blocked on a FIFO";
        done.get();
        EXPECT_EQ(*redirect.url(), kDefault);
    }
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
    const testing::CapturedOutput quiet;
    for (int i = 0; i < 200; ++i) {
        write(i % 2 ? "local\n" : "https://b.example/\n");
        redirect.reload();
    }
    stop = true;
    reader.join();
}

}  // namespace
}  // namespace tranca
