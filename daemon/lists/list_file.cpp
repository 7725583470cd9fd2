#include "daemon/lists/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <optional>

#include "daemon/lists/normal_name.h"
#include "daemon/text.h"

namespace tranca {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kMostExpectedNames = 4'000'000;

bool isFieldSeparator(char c) {
    return c == ' ' || c == '\t';
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// The line feeds of the file, read with pread so the offset stays at the start.
std::optional<std::size_t> countLines(int fd, char* buffer) {
    std::size_t lines = 0;
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, kReadChunk, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return lines + 1;
        }
        lines += static_cast<std::size_t>(std::count(buffer, buffer + got, '\n'));
        offset += got;
    }
}

}  // namespace

bool isIgnoredListName(std::string_view name) {
    static constexpr std::array<std::string_view, 13> kIgnored = {
        "0.0.0.0",       "127.0.0.1",       "localhost",     "localhost.localdomain",
        "broadcasthost", "local",           "ip6-localhost", "ip6-loopback",
        "ip6-localnet",  "ip6-mcastprefix", "ip6-allnodes",  "ip6-allrouters",
        "ip6-allhosts",
    };
    for (const std::string_view ignored : kIgnored) {
        if (name == ignored) {
            return true;
        }
    }
    return false;
}

void ListParser::feed(std::string_view bytes) {
    pending_.append(bytes);
    if (!started_) {
        if (pending_.size() < 3) {
            return;  // too little to tell whether a byte-order mark starts the file
        }
        started_ = true;
        // Editors on other systems may start the file with a byte-order mark;
        // it would otherwise become part of the first name and never match.
        if (pending_.starts_with("\xef\xbb\xbf")) {
            pending_.erase(0, 3);
        }
    }
    takeLines(false);
}

void ListParser::takeLines(bool atEnd) {
    const std::string_view text = pending_;
    std::size_t start = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        // Only these bytes can begin a line terminator.
        if (byte != '\n' && byte != '\r' && byte != '\v' && byte != '\f' && byte != 0xc2 &&
            byte != 0xe2) {
            ++at;
            continue;
        }
        bool needMore = false;
        const std::size_t terminator = text::terminatorLengthAt(text, at, &needMore);
        if (needMore && !atEnd) {
            break;
        }
        if (terminator == 0) {
            ++at;
            continue;
        }
        takeLine(text.substr(start, at - start));
        at += terminator;
        start = at;
    }
    if (atEnd && start < text.size()) {
        takeLine(text.substr(start));
        start = text.size();
    }
    pending_.erase(0, start);
}

void ListParser::takeLine(std::string_view line) {
    if (line.empty()) {
        return;
    }
    // One stray byte (a Latin-1 edit, a code point past U+10FFFF) costs only
    // its own line, never the rest of the list.
    if (!text::isValidUtf8(line)) {
        ++skips_.notUtf8;
        return;
    }
    const std::string_view trimmed = text::trimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '#') {
        return;
    }
    const auto nextField = [&](std::size_t from) -> std::string_view {
        while (from < trimmed.size() && isFieldSeparator(trimmed[from])) {
            ++from;
        }
        std::size_t end = from;
        while (end < trimmed.size() && !isFieldSeparator(trimmed[end])) {
            ++end;
        }
        return trimmed.substr(from, end - from);
    };
    std::string_view name = nextField(0);
    if (name == "0.0.0.0" || name == "127.0.0.1") {
        const std::size_t after =
            static_cast<std::size_t>(name.data() - trimmed.data()) + name.size();
        const std::string_view second = nextField(after);
        if (!second.empty()) {
            name = second;
        }
    }
    // In the form query names are matched in: "example.com." or ".example.com"
    // would otherwise never match anything.
    normaliseNameInto(name, lowered_);
    // "*.example.com" means the names under example.com, and an entry already
    // covers everything under it. Any other "*" is a pattern that a suffix
    // cannot express.
    if (lowered_.starts_with("*.")) {
        lowered_.erase(0, 2);
    }
    if (lowered_.empty() || lowered_.find('*') != std::string::npos) {
        ++skips_.unusable;
        return;
    }
    if (isIgnoredListName(lowered_)) {
        return;
    }
    const std::uint64_t hash = hashName(lowered_);
    names_.prefetch(hash);
    batch_.append(lowered_);
    batchHashes_[batched_] = hash;
    batchEnds_[batched_] = batch_.size();
    if (++batched_ == kBatch) {
        insertBatch();
    }
}

void ListParser::insertBatch() {
    std::size_t start = 0;
    for (std::size_t i = 0; i < batched_; ++i) {
        const std::string_view all = batch_;
        names_.insert(all.substr(start, batchEnds_[i] - start), batchHashes_[i]);
        start = batchEnds_[i];
    }
    batch_.clear();
    batched_ = 0;
}

NameSet ListParser::finish() {
    started_ = true;
    if (pending_.starts_with("\xef\xbb\xbf")) {
        pending_.erase(0, 3);
    }
    takeLines(true);
    insertBatch();
    return std::move(names_);
}

NameSet parseListText(std::string_view text, ListSkips* skips) {
    ListParser parser;
    parser.feed(text);
    NameSet names = parser.finish();
    if (skips != nullptr) {
        *skips = parser.skips();
    }
    return names;
}

NameSet parseListFile(const std::string& path, ListSkips* skips) {
    if (skips != nullptr) {
        *skips = {};
    }
    // Non-blocking open so a FIFO planted at the path cannot stall the daemon.
    FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (file.fd < 0) {
        return {};
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    // One descriptor: a file replaced meanwhile is read whole as it was when
    // opened.
    ListParser parser;
    auto buffer = std::make_unique<char[]>(kReadChunk);
    // Lines bound the names from above; counting them first sizes the set
    // once instead of rehashing a million names at every doubling. Past a
    // list larger than any offered, a file of blank lines must not buy a
    // table: the set grows as names really arrive.
    if (const std::optional<std::size_t> lines = countLines(file.fd, buffer.get())) {
        parser.expectLines(std::min(*lines, kMostExpectedNames));
    }
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer.get(), kReadChunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {};
        }
        if (got == 0) {
            break;
        }
        parser.feed(std::string_view(buffer.get(), static_cast<std::size_t>(got)));
    }
    NameSet names = parser.finish();
    if (skips != nullptr) {
        *skips = parser.skips();
    }
    return names;
}

}  // namespace tranca
