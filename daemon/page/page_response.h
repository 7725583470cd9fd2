// The block page's two responses, byte for byte: a 302 to the chosen
// destination, or the built-in page naming the host (for HEAD its header
// alone). Every one closes the connection and may not be cached.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace tranca {

// "HTTP/1.1 302 Found" with the destination as Location, byte for byte.
std::string redirectResponse(std::string_view url);

// The header block of the 200 response for a body of bodyBytes bytes.
inline constexpr std::size_t kPageHeaderCapacity = 160;
std::string_view pageResponseHeader(std::size_t bodyBytes,
                                    std::array<char, kPageHeaderCapacity>& out);

// The whole response for one request, as the server sends it (tests, fuzzing).
std::string blockPageResponse(std::string_view received, std::string_view url);

}  // namespace tranca
