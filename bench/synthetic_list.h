// A reproducible block list of N names shaped like real ones (two to four
// labels, hosts-file form for half of them).
#pragma once

#include <cstddef>
#include <string>

namespace tranca::bench {

std::string syntheticName(std::size_t index);
// Writes the list to path; returns its size in bytes.
std::size_t writeSyntheticList(const std::string& path, std::size_t count);

}  // namespace tranca::bench
