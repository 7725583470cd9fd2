#include "daemon/page/redirect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "tests/support/daemon_support.h"

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
