#include "daemon/safesearch.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace tranca {
namespace {

struct HostRow {
    const char* fault;
    const char* name;
    std::optional<std::string_view> host;
};

TEST(SafeHost, TableOfFaults) {
    const std::vector<HostRow> rows = {
        {"misses_google_com", "google.com", safehosts::kGoogle},
        {"misses_country_domain", "google.com.ar", safehosts::kGoogle},
        {"misses_upper_case", "GOOGLE.ES", safehosts::kGoogle},
        {"misses_www_google", "www.google.co.uk", safehosts::kGoogle},
        {"misses_trailing_dot", "www.google.com.", safehosts::kGoogle},
        {"maps_single_label_google", "google", std::nullopt},
        {"maps_other_google_subdomain", "images.google.com", std::nullopt},
        {"maps_www_google_without_domain", "www.google", std::nullopt},
        {"maps_lookalike_first_label", "googleusercontent.com", std::nullopt},
        {"maps_google_label_of_other_domain", "google.github.io", std::nullopt},
        {"maps_google_subdomain_elsewhere", "google.example.com", std::nullopt},
        {"maps_google_com_inside_other_domain", "google.com.evil.example", std::nullopt},
        {"maps_www_google_of_other_domain", "www.google.github.io", std::nullopt},
        {"misses_last_listed_domain", "google.cat", safehosts::kGoogle},
        {"misses_bing", "bing.com", safehosts::kBing},
        {"misses_www_bing", "WWW.Bing.Com", safehosts::kBing},
        {"maps_other_bing_subdomain", "cn.bing.com", std::nullopt},
        {"maps_bing_suffix_lookalike", "notbing.com", std::nullopt},
        {"maps_bing_elsewhere", "bing.com.evil", std::nullopt},
        {"misses_duckduckgo", "duckduckgo.com", safehosts::kDuckDuckGo},
        {"misses_www_duckduckgo", "www.duckduckgo.com", safehosts::kDuckDuckGo},
        {"misses_start_duckduckgo", "start.duckduckgo.com", safehosts::kDuckDuckGo},
        {"maps_other_duckduckgo_subdomain", "links.duckduckgo.com", std::nullopt},
        {"maps_safe_host_itself", "safe.duckduckgo.com", std::nullopt},
        {"maps_google_safe_host_itself", "forcesafesearch.google.com", std::nullopt},
        {"maps_empty_name", "", std::nullopt},
        {"breaks_on_empty_labels", "..bing..com..", safehosts::kBing},
        {"maps_unrelated", "example.org", std::nullopt},
    };
    for (const HostRow& row : rows) {
        SCOPED_TRACE(row.fault);
        EXPECT_EQ(safeHost(row.name), row.host);
    }
}

}  // namespace
}  // namespace tranca
