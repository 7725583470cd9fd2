// The built-in block page: one self-contained HTML document (styles, script
// and the logo inline), built once; only the blocked host changes per request.
#pragma once

#include <string>
#include <string_view>

namespace tranca {

inline constexpr std::string_view kDonationUrl = "https://www.amparo-filtro.org/donar";
inline constexpr std::string_view kHostPlaceholder = "{{HOST}}";

// The page with the donation link and the logo filled in and "{{HOST}}" still
// in place. Built on first use (thread-safe), never changed afterwards.
const std::string& pageTemplate();

// The product logo, a 96x96 PNG, as base64 text.
std::string_view logoPngBase64();

// pageTemplate cut at its single "{{HOST}}": a response is head + host + tail,
// written as a gather list, so serving the page copies none of it.
struct PageParts {
    std::string_view head;
    std::string_view tail;
};
const PageParts& pageParts();

// The page for one host: every "{{HOST}}" replaced. The host must already be
// safe to place in HTML.
std::string renderPage(std::string_view host);

}  // namespace tranca
