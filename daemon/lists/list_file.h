// The list file format shared by blocklist.txt, custom.txt and allow.txt: one
// name per line (bare or in hosts-file form), comments with "#", UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "daemon/lists/name_set.h"

namespace tranca {

// Lines of a list that held something yet gave no name, by reason. Hosts-file
// boilerplate, comments and blank lines are expected and not counted.
struct ListSkips {
    std::size_t notUtf8 = 0;   // the line is not valid UTF-8
    std::size_t unusable = 0;  // nothing a query name could ever match
};

// Incremental parser, so a large file is read in chunks from one descriptor
// without holding it whole in memory.
class ListParser {
  public:
    // Room for about lines names before the first feed; only a hint.
    void expectLines(std::size_t lines) { names_.reserve(lines); }
    void feed(std::string_view bytes);
    // The names read. A line that is not valid UTF-8 costs only itself.
    NameSet finish();
    const ListSkips& skips() const { return skips_; }

  private:
    // Names wait in a small batch whose table slots are prefetched, so the
    // cache misses of a large list's inserts overlap instead of queueing.
    static constexpr std::size_t kBatch = 16;

    void takeLines(bool atEnd);
    void takeLine(std::string_view line);
    void insertBatch();

    std::string pending_;
    std::string lowered_;
    std::string batch_;  // the batch's names, end to end
    std::array<std::uint64_t, kBatch> batchHashes_{};
    std::array<std::size_t, kBatch> batchEnds_{};
    std::size_t batched_ = 0;
    NameSet names_;
    ListSkips skips_;
    bool started_ = false;
};

// Names of a complete text (tests, fuzzing); skips, when given, receives what
// was passed over.
NameSet parseListText(std::string_view text, ListSkips* skips = nullptr);

// Names of the file at path: the empty set when it is missing, not a regular
// file or unreadable.
NameSet parseListFile(const std::string& path, ListSkips* skips = nullptr);

// True for the hosts-file boilerplate names that a list never contributes.
bool isIgnoredListName(std::string_view name);

}  // namespace tranca
