#include "daemon/redirect.h"
#include "platform/file_time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/log.h"
#include "daemon/text.h"

namespace tranca {

namespace {

// redirect.txt holds one address; anything larger is not a setting file.
constexpr std::size_t kRedirectFileLimit = 1 << 20;

bool isLocalKeyword(std::string_view setting) {
    constexpr std::string_view kLocal = "local";
    if (setting.size() != kLocal.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kLocal.size(); ++i) {
        if (text::asciiLower(setting[i]) != kLocal[i]) {
            return false;
        }
    }
    return true;
}

// A control character in the address would end up inside the Location header
// and could split the response; such a setting counts as unusable.
bool hasControlCharacter(std::string_view setting) {
    for (const char c : setting) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string parseRedirectText(std::string_view content, std::string_view fallback) {
    if (!text::isValidUtf8(content)) {
        return std::string(fallback);
    }
    std::optional<std::string_view> setting;
    text::forEachLine(content, [&](std::string_view line) {
        if (setting) {
            return;
        }
        line = text::trimBlanks(line);
        if (line.empty() || line.front() == '#') {
            return;
        }
        setting = line;
    });
    if (!setting) {
        return std::string(fallback);
    }
    if (isLocalKeyword(*setting)) {
        return {};
    }
    if ((setting->starts_with("https://") || setting->starts_with("http://")) &&
        !hasControlCharacter(*setting)) {
        return std::string(*setting);
    }
    return std::string(fallback);
}

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= limit) {
        std::string bytes;
        char chunk[4096];
        bool ok = true;
        for (;;) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got == 0) {
                break;
            }
            if (got < 0 || bytes.size() + static_cast<std::size_t>(got) > limit) {
                ok = false;
                break;
            }
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        if (ok) {
            content = std::move(bytes);
        }
    }
    ::close(fd);
    return content;
}

Redirect::Redirect(std::string path, std::string defaultRedirect)
    : path_(std::move(path)),
      defaultRedirect_(std::move(defaultRedirect)),
      url_(std::make_shared<const std::string>(defaultRedirect_)) {}

bool Redirect::reload() {
    const std::optional<timespec> mtime = modificationTime(path_);
    if (loaded_ && sameModificationTime(mtime, mtime_)) {
        return false;
    }
    mtime_ = mtime;
    const bool firstLoad = !loaded_;
    loaded_ = true;

    const std::optional<std::string> content = readSmallFile(path_, kRedirectFileLimit);
    auto destination = std::make_shared<const std::string>(
        content ? parseRedirectText(*content, defaultRedirect_) : defaultRedirect_);
    bool changed;
    {
        std::lock_guard guard(lock_);
        changed = *url_ != *destination;
        url_ = destination;
    }
    if (firstLoad || changed) {
        logLine("Al bloquear se lleva a: " +
                (destination->empty() ? std::string("la página incluida") : *destination));
    }
    return true;
}

std::shared_ptr<const std::string> Redirect::url() const {
    std::lock_guard guard(lock_);
    return url_;
}

}  // namespace tranca
