// Where a blocked site leads: a web address, or the built-in page (the empty
// url). The user's choice lives in redirect.txt and is re-read when its
// modification time changes.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tranca {

// The destination a redirect.txt text selects: the first line that is neither
// empty nor a "#" comment decides. "local" in any case gives the empty text
// (the built-in page), a lower-case "https://" or "http://" address gives that
// address, anything else (and no setting line at all, or text that is not
// UTF-8) gives fallback.
std::string parseRedirectText(std::string_view text, std::string_view fallback);

class Redirect {
  public:
    Redirect(std::string path, std::string defaultRedirect);

    // Re-reads the file when its modification time differs from the last load
    // (or on the first call). Logs "Al bloquear se lleva a: …" on the first load
    // and whenever the destination changes. Returns true when the file was read.
    bool reload();

    // The current destination; empty means the built-in page. Copying the
    // pointer is all the lock guards, so readers never wait on a reload.
    std::shared_ptr<const std::string> url() const;

  private:
    std::string path_;
    std::string defaultRedirect_;
    // Touched only by reload, which never runs twice at once.
    std::optional<timespec> mtime_;
    bool loaded_ = false;

    mutable std::mutex lock_;
    std::shared_ptr<const std::string> url_;
};

}  // namespace tranca
