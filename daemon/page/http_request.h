// What the block page reads of a request: enough to know the headers are in,
// whether it is a HEAD, and the host to name. Nothing else of HTTP matters
// here, so nothing else is parsed.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tranca {

inline constexpr std::string_view kFallbackHost = "el sitio";
inline constexpr std::size_t kMaxRequestBytes = 16384;

// Keeps only letters, digits, ".", "-" and ":", so the host is safe to place
// in the page whatever the client sent.
std::string sanitizeHost(std::string_view host);

// The value of the first CR LF-terminated line starting with "host:" (any
// case), blanks trimmed; nothing when there is none. A bare LF does not end a
// line.
std::optional<std::string_view> findHostHeader(std::string_view request);

// The text the page shows for the bytes received: the sanitized Host value,
// compacted in place inside received, or the fallback "el sitio" for no bytes,
// bytes that are not UTF-8, or no Host line.
std::string_view shownHost(std::span<char> received);

// True once received holds the request's headers up to their empty line, or
// bytes no HTTP request starts with (a TLS hello on the plain port): waiting
// for more would only delay the answer. An empty line of bare LFs counts too,
// for the same reason. Bytes before from were looked at already; the search
// goes back three of them for an ending split between reads.
bool requestHeadEnded(std::string_view received, std::size_t from);

// A HEAD request, empty lines before it allowed.
bool headRequest(std::string_view request);

}  // namespace tranca
