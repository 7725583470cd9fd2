#include "daemon/page/redirect.h"
#include "platform/file_time.h"

#include "daemon/log.h"
#include "daemon/text.h"
#include "platform/posix/file_util.h"

namespace tranca {

namespace {

// redirect.txt holds one address; anything larger is not a setting file.
constexpr std::size_t kRedirectFileLimit = 1 << 20;

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
    if (text::equalsIgnoringAsciiCase(*setting, "local")) {
        return {};
    }
    if ((setting->starts_with("https://") || setting->starts_with("http://")) &&
        !hasControlCharacter(*setting)) {
        return std::string(*setting);
    }
    return std::string(fallback);
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

    // A FIFO or device planted at the path is refused, never waited on.
    const std::optional<std::string> content =
        platform::posix_files::readFile(path_, kRedirectFileLimit);
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
