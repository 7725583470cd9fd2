// The list file format shared by blocklist.txt, custom.txt and allow.txt: one
// name per line (bare or in hosts-file form), comments with "#", UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "daemon/name_set.h"

namespace tranca {

// Incremental parser, so a large file is read in chunks from one descriptor
// without holding it whole in memory.
class ListParser {
public:
    void feed(std::string_view bytes);
    // The names read; the empty set when the text was not valid UTF-8.
    NameSet finish();

private:
    void takeLines(bool atEnd);
    void takeLine(std::string_view line);

    std::string pending_;
    std::string lowered_;
    NameSet names_;
    bool valid_ = true;
    bool started_ = false;
};

// Names of a complete text (tests, fuzzing).
NameSet parseListText(std::string_view text);

// Names of the file at path: the empty set when it is missing, not a regular
// file, unreadable or not UTF-8.
NameSet parseListFile(const std::string& path);

// True for the hosts-file boilerplate names that a list never contributes.
bool isIgnoredListName(std::string_view name);

}  // namespace tranca
