// The one form in which domain names are compared: lower-cased (ASCII and
// Unicode alike) with empty labels dropped, so "WWW..Example.COM." reads
// "www.example.com". List entries are stored in it and query names are
// matched in it; a name read any other way would never meet its entry.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tranca {

// Room for the normal form of any ASCII name a query can carry, and then some.
inline constexpr std::size_t kNormalNameBuffer = 1024;

// Replaces out with the normal form of name.
void normaliseNameInto(std::string_view name, std::string& out);

// The normal form of name: name itself when it is in it already (the usual
// case), else written to buffer when name is ASCII and fits, else to spill.
// Matching thus copies little and allocates nothing for ordinary names.
std::string_view normalName(std::string_view name, std::span<char> buffer, std::string& spill);

}  // namespace tranca
